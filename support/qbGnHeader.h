#pragma once
// General support library "qbGeneral": INI settings, log file, message boxes.
// C calling convention; loaded by base name, functions looked up by name.
//
// Texts returned by GetInitSettingStr stay valid until the next call of it on
// the same thread. INI files are rewritten whole through a temporary file and
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
typedef void (*TAddLog)(const char* message, const char* logFile);
typedef int (*TShowMsg)(const char* text, int kind, int buttons, int reserved);
typedef void (*TSetMsgHandler)(QbMsgHandler handler, void* context);

const char* GetInitSettingStr(const char* section, const char* key, const char* iniFile,
                              const char* defaultText);
bool GetInitSettingBool(const char* section, const char* key, const char* iniFile, bool defaultValue);
void SetInitSettingStr(const char* section, const char* key, const char* value, const char* iniFile);
void SetInitSettingBool(const char* section, const char* key, bool value, const char* iniFile);
void AddLog(const char* message, const char* logFile);
int ShowMsg(const char* text, int kind, int buttons, int reserved);
void SetMsgHandler(QbMsgHandler handler, void* context);
}
