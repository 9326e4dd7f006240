#pragma once
// General support library "qbGeneral": INI settings, log file, message boxes.
// C calling convention; loaded by base name, functions looked up by name.
//
// Texts returned by GetInitSettingStr stay valid until the next call of it on
// the same thread. Values are read with blanks around them and one pair of
// enclosing double quotes removed; BOM and CR, LF or CR LF line ends are read. INI files are rewritten whole through a temporary file and
// a rename, so a crash leaves either the old or the new file.
// A relative INI or log file name is taken relative to the program folder
// (the folder of the running program file), not the current directory.

extern "C" {

// Message box kinds and buttons (a bit set), and the codes of pressed buttons.
enum { QB_MSG_WARNING = 0, QB_MSG_ERROR = 1, QB_MSG_INFORMATION = 2, QB_MSG_CONFIRMATION = 3 };
enum { QB_BTN_YES = 1, QB_BTN_NO = 2, QB_BTN_OK = 4, QB_BTN_CANCEL = 8 };
enum { QB_ID_OK = 1, QB_ID_CANCEL = 2, QB_ID_YES = 6, QB_ID_NO = 7 };

// Replaces what ShowMsg does: a GUI program installs a modal box, a test a
// scripted answerer. Without a handler ShowMsg writes the text to standard
// error and answers with the non-Yes choice (OK, No or Cancel).
typedef int (*QbMsgHandler)(const char* text, int kind, int buttons, void* context);

typedef const char* (*TGetInitSettingStr)(const char* section, const char* key, const char* iniFile,
                                          const char* defaultText);
typedef bool (*TGetInitSettingBool)(const char* section, const char* key, const char* iniFile,
                                    bool defaultValue);
typedef void (*TSetInitSettingStr)(const char* section, const char* key, const char* value,
                                   const char* iniFile);
typedef void (*TSetInitSettingBool)(const char* section, const char* key, bool value,
                                    const char* iniFile);
// Appends "yyyy-mm-dd hh:nn:ss " + message as one line: control characters
// are escaped and a message over 8 KB is cut with a mark. The file is never
// opened through a symbolic link (such a file is reported once on standard
// error and not written). AddLog rotates at 10 MiB, AddLogEx at maxBytes
// (0: never): the file becomes <file>.1, .1 becomes .2 ... up to .5.
typedef void (*TAddLog)(const char* message, const char* logFile);
typedef void (*TAddLogEx)(const char* message, const char* logFile, long long maxBytes);
// Sets every key of the lists in one replacement of the file (through a
// symbolic link to its target, in the target's folder). Returns "" when the
// file holds them all, else what went wrong; the file is then unchanged.
// The text stays valid until the next call on the same thread.
typedef const char* (*TWriteInitSettings)(const char* iniFile, const char* const* sections,
                                          const char* const* keys, const char* const* values, int count);
// "" when the INI file can be read or does not exist; else the path and
// why its keys read as their defaults (a folder, a FIFO, over 16 MiB, no
// permission). A file that cannot be read is also told once on standard
// error by the first read of a key.
typedef const char* (*TIniFileProblem)(const char* iniFile);
typedef int (*TShowMsg)(const char* text, int kind, int buttons, int reserved);
typedef void (*TSetMsgHandler)(QbMsgHandler handler, void* context);

const char* GetInitSettingStr(const char* section, const char* key, const char* iniFile,
                              const char* defaultText);
bool GetInitSettingBool(const char* section, const char* key, const char* iniFile, bool defaultValue);
void SetInitSettingStr(const char* section, const char* key, const char* value, const char* iniFile);
void SetInitSettingBool(const char* section, const char* key, bool value, const char* iniFile);
void AddLog(const char* message, const char* logFile);
void AddLogEx(const char* message, const char* logFile, long long maxBytes);
const char* WriteInitSettings(const char* iniFile, const char* const* sections, const char* const* keys,
                              const char* const* values, int count);
const char* IniFileProblem(const char* iniFile);
int ShowMsg(const char* text, int kind, int buttons, int reserved);
void SetMsgHandler(QbMsgHandler handler, void* context);
}
