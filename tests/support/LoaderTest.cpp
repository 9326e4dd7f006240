#include "SupportTestEnv.h"

#include "DynamicLibrary.h"

#include <algorithm>
#include <filesystem>
#include <vector>

using namespace supporttest;

namespace {

using Reports = std::vector<std::string>;

std::vector<const void*> functions(const support::SupportLibraries& l)
{
    const auto& d = l.da;
    const auto& g = l.gn;
    const auto& s = l.sc;
    return {reinterpret_cast<const void*>(d.ConnectDB), reinterpret_cast<const void*>(d.QueryRecords),
            reinterpret_cast<const void*>(d.DeleteRecords), reinterpret_cast<const void*>(d.InsertRecord),
            reinterpret_cast<const void*>(d.DisconnectDB), reinterpret_cast<const void*>(d.ExecuteSQL),
            reinterpret_cast<const void*>(d.BeginTransaction), reinterpret_cast<const void*>(d.CommitTransaction),
            reinterpret_cast<const void*>(d.RollbackTransaction), reinterpret_cast<const void*>(d.LastDBError),
            reinterpret_cast<const void*>(d.RecordSetFirst), reinterpret_cast<const void*>(d.RecordSetEof),
            reinterpret_cast<const void*>(d.RecordSetNext), reinterpret_cast<const void*>(d.RecordSetFieldAsString),
            reinterpret_cast<const void*>(d.RecordSetFieldAsInteger), reinterpret_cast<const void*>(d.FreeRecordSet),
            reinterpret_cast<const void*>(g.GetInitSettingStr), reinterpret_cast<const void*>(g.GetInitSettingBool),
            reinterpret_cast<const void*>(g.SetInitSettingStr), reinterpret_cast<const void*>(g.SetInitSettingBool),
            reinterpret_cast<const void*>(g.AddLog), reinterpret_cast<const void*>(g.ShowMsg),
            reinterpret_cast<const void*>(g.SetMsgHandler), reinterpret_cast<const void*>(s.Encrypt),
            reinterpret_cast<const void*>(s.Decrypt)};
}

Reports load(support::SupportLibraries& l, const std::string& folder)
{
    Reports reports;
    l.load(folder, [&](const std::string& m) { reports.push_back(m); });
    return reports;
}

TEST(SupportLoader, TheProgramFolderProvidesEveryFunction)
{
    support::SupportLibraries l;
    std::string folder = ProgramFolder();
    EXPECT_EQ(load(l, folder), Reports {});
    folder.pop_back(); // without the trailing '/'
    EXPECT_EQ(load(l, folder), Reports {});
    for (const void* f : functions(l))
        EXPECT_NE(f, nullptr);
    EXPECT_TRUE(l.dataAccessLoaded() && l.generalLoaded() && l.securityLoaded());
}

TEST(SupportLoader, MissingOrIncompleteLibrariesAreReportedAndLeftUnresolved)
{
    TempDir dir;
    support::SupportLibraries l;
    EXPECT_FALSE(l.load(dir.path(), nullptr));
    EXPECT_EQ(load(l, dir.path()),
              (Reports {"qbDataAccess.so not loaded!", "qbGeneral.so not loaded!", "qbSecurity.so not loaded!"}));
    for (const void* f : functions(l))
        EXPECT_EQ(f, nullptr);

    // A library with only some of the functions counts as not loaded, and
    // none of its functions stays resolved; a file that is no library does
    // not load at all.
    namespace fs = std::filesystem;
    fs::copy_file(ProgramFolder() + "partial_general.so", dir.file("qbGeneral.so"));
    fs::copy_file(ProgramFolder() + "qbSecurity.so", dir.file("qbSecurity.so"));
    writeFile(dir.file("qbDataAccess.so"), "not a shared object");
    EXPECT_EQ(load(l, dir.path()), (Reports {"qbDataAccess.so not loaded!", "qbGeneral.so not loaded!"}));
    EXPECT_FALSE(l.dataAccessLoaded());
    EXPECT_FALSE(l.generalLoaded());
    EXPECT_TRUE(l.securityLoaded());
    const auto all = functions(l);
    EXPECT_EQ(std::count(all.begin(), all.end(), nullptr), static_cast<long>(all.size() - 2));
}

} // namespace
