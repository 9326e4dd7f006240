// The remote tag library, "opcDataAccess": reads and writes tags of another
// OPC server for the program's links in remote mode. Loaded by name from the
// program folder; these three functions are all it exports. Nothing escapes
// them: every failure is a false result.
#include "RemoteTagAgent.h"

#include "opcDAHeader.h"

#define OPC_DATA_ACCESS_EXPORT extern "C" __attribute__((visibility("default")))

OPC_DATA_ACCESS_EXPORT void InitOPCDataAccessDLL(void* /*application*/, const char* serverName) noexcept
{
    try {
        RemoteTagAgent::Instance().Init(serverName ? serverName : "");
    } catch (...) {
    }
}

OPC_DATA_ACCESS_EXPORT bool ReadTag(const char* tagName, VARIANT* value) noexcept
{
    try {
        return tagName && RemoteTagAgent::Instance().Read(tagName, value);
    } catch (...) {
        return false;
    }
}

OPC_DATA_ACCESS_EXPORT bool WriteTag(const char* tagName, const VARIANT* value) noexcept
{
    try {
        return tagName && RemoteTagAgent::Instance().Write(tagName, value);
    } catch (...) {
        return false;
    }
}
