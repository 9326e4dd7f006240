#include "SupportLibraries.h"

#include "DynamicLibrary.h"

namespace support {

struct SupportLibraries::Handles {
    DynamicLibrary dataAccess;
    DynamicLibrary general;
    DynamicLibrary security;
};

namespace {

// Resolves every function of one library; all or nothing, so a half-resolved
// interface is never left behind.
template <typename Api, typename Resolver>
bool loadOne(DynamicLibrary& library, const std::string& path, Api& api, Resolver resolveAll)
{
    api = Api {};
    if (library.open(path) && resolveAll(library, api))
        return true;
    api = Api {};
    library.close();
    return false;
}

bool resolveDataAccess(const DynamicLibrary& l, DataAccessApi& a)
{
    return l.resolve("ConnectDB", a.ConnectDB) && l.resolve("QueryRecords", a.QueryRecords) &&
           l.resolve("DeleteRecords", a.DeleteRecords) && l.resolve("InsertRecord", a.InsertRecord) &&
           l.resolve("InsertRecordN", a.InsertRecordN) && l.resolve("AbortAllDB", a.AbortAllDB) &&
           l.resolve("RecordSetFieldLength", a.RecordSetFieldLength) &&
           l.resolve("DisconnectDB", a.DisconnectDB) && l.resolve("ExecuteSQL", a.ExecuteSQL) &&
           l.resolve("BeginTransaction", a.BeginTransaction) && l.resolve("CommitTransaction", a.CommitTransaction) &&
           l.resolve("RollbackTransaction", a.RollbackTransaction) && l.resolve("LastDBError", a.LastDBError) &&
           l.resolve("RecordSetFirst", a.RecordSetFirst) && l.resolve("RecordSetEof", a.RecordSetEof) &&
           l.resolve("RecordSetNext", a.RecordSetNext) &&
           l.resolve("RecordSetFieldAsString", a.RecordSetFieldAsString) &&
           l.resolve("RecordSetFieldAsInteger", a.RecordSetFieldAsInteger) &&
           l.resolve("FreeRecordSet", a.FreeRecordSet);
}

bool resolveGeneral(const DynamicLibrary& l, GeneralApi& a)
{
    return l.resolve("GetInitSettingStr", a.GetInitSettingStr) &&
           l.resolve("GetInitSettingBool", a.GetInitSettingBool) &&
           l.resolve("SetInitSettingStr", a.SetInitSettingStr) &&
           l.resolve("SetInitSettingBool", a.SetInitSettingBool) && l.resolve("AddLog", a.AddLog) &&
           l.resolve("AddLogEx", a.AddLogEx) && l.resolve("WriteInitSettings", a.WriteInitSettings) &&
           l.resolve("IniFileProblem", a.IniFileProblem) &&
           l.resolve("ShowMsg", a.ShowMsg) && l.resolve("SetMsgHandler", a.SetMsgHandler);
}

bool resolveSecurity(const DynamicLibrary& l, SecurityApi& a)
{
    return l.resolve("Encrypt", a.Encrypt) && l.resolve("Decrypt", a.Decrypt);
}

} // namespace

SupportLibraries::SupportLibraries() : handles_(std::make_unique<Handles>()) {}

SupportLibraries::~SupportLibraries() = default;

bool SupportLibraries::load(const std::string& folder, const Reporter& report)
{
    // Never a bare file name: dlopen would search the library path for it.
    std::string prefix = folder.empty() ? "./" : folder;
    if (prefix.back() != '/')
        prefix += '/';
    bool all = true;
    const auto check = [&](bool loaded, const char* file) {
        if (!loaded) {
            all = false;
            if (report)
                report(std::string(file) + " not loaded!");
        }
    };
    check(loadOne(handles_->dataAccess, prefix + kDataAccessFile, da, resolveDataAccess), kDataAccessFile);
    check(loadOne(handles_->general, prefix + kGeneralFile, gn, resolveGeneral), kGeneralFile);
    check(loadOne(handles_->security, prefix + kSecurityFile, sc, resolveSecurity), kSecurityFile);
    return all;
}

} // namespace support
