// Stands in for a qbGeneral.so of an older build: the first functions the
// loader asks for are there, the later ones are not.
#define EXPORT extern "C" __attribute__((visibility("default")))

EXPORT const char* GetInitSettingStr(const char*, const char*, const char*, const char* d) { return d; }
EXPORT bool GetInitSettingBool(const char*, const char*, const char*, bool d) { return d; }
EXPORT void SetInitSettingStr(const char*, const char*, const char*, const char*) {}
