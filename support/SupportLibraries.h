#pragma once
// The program's side of the three support libraries: loads them by base name
// from the program folder and resolves their functions by exported name.
#include "qbDaHeader.h"
#include "qbGnHeader.h"
#include "qbScHeader.h"

#include <functional>
#include <memory>
#include <string>

namespace support {

// File names of the libraries in the program folder.
inline constexpr const char* kDataAccessFile = "qbDataAccess.so";
inline constexpr const char* kGeneralFile = "qbGeneral.so";
inline constexpr const char* kSecurityFile = "qbSecurity.so";

struct DataAccessApi {
    TConnectDB ConnectDB = nullptr;
    TQueryRecords QueryRecords = nullptr;
    TDeleteRecords DeleteRecords = nullptr;
    TInsertRecord InsertRecord = nullptr;
    TInsertRecordN InsertRecordN = nullptr;
    TAbortAllDB AbortAllDB = nullptr;
    TRecordSetFieldLength RecordSetFieldLength = nullptr;
    TDisconnectDB DisconnectDB = nullptr;
    TExecuteSQL ExecuteSQL = nullptr;
    TBeginTransaction BeginTransaction = nullptr;
    TCommitTransaction CommitTransaction = nullptr;
    TRollbackTransaction RollbackTransaction = nullptr;
    TLastDBError LastDBError = nullptr;
    TRecordSetFirst RecordSetFirst = nullptr;
    TRecordSetEof RecordSetEof = nullptr;
    TRecordSetNext RecordSetNext = nullptr;
    TRecordSetFieldAsString RecordSetFieldAsString = nullptr;
    TRecordSetFieldAsInteger RecordSetFieldAsInteger = nullptr;
    TFreeRecordSet FreeRecordSet = nullptr;
};

struct GeneralApi {
    TGetInitSettingStr GetInitSettingStr = nullptr;
    TGetInitSettingBool GetInitSettingBool = nullptr;
    TSetInitSettingStr SetInitSettingStr = nullptr;
    TSetInitSettingBool SetInitSettingBool = nullptr;
    TAddLog AddLog = nullptr;
    TAddLogEx AddLogEx = nullptr;
    TWriteInitSettings WriteInitSettings = nullptr;
    TIniFileProblem IniFileProblem = nullptr;
    TShowMsg ShowMsg = nullptr;
    TSetMsgHandler SetMsgHandler = nullptr;
};

struct SecurityApi {
    TEncrypt Encrypt = nullptr;
    TDecrypt Decrypt = nullptr;
};

// Loaded libraries stay loaded until this object is destroyed.
class SupportLibraries {
public:
    using Reporter = std::function<void(const std::string& message)>;

    SupportLibraries();
    ~SupportLibraries();
    SupportLibraries(const SupportLibraries&) = delete;
    SupportLibraries& operator=(const SupportLibraries&) = delete;

    // Loads all three from folder. Each library that cannot be loaded, or
    // lacks one of its functions, is reported as its file name followed by
    // " not loaded!" and its functions stay unresolved. True when all loaded.
    bool load(const std::string& folder, const Reporter& report);

    bool dataAccessLoaded() const { return da.ConnectDB != nullptr; }
    bool generalLoaded() const { return gn.ShowMsg != nullptr; }
    bool securityLoaded() const { return sc.Encrypt != nullptr; }

    DataAccessApi da;
    GeneralApi gn;
    SecurityApi sc;

private:
    struct Handles;
    std::unique_ptr<Handles> handles_;
};

} // namespace support
