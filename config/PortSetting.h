#pragma once
// The "Port Setting" dialog: edits one Port setting of the port grid. The
// lists are drop-downs that may have no item selected; the auto-suffix is
// edited in its notation (SuffixNotation.h).
//
// Set up before use: the grid checked for a port already in use, the state
// of the main window's "Remote OPC Server" box (it enables the remote tag
// group and makes its four fields required), the ShowMsg function (default:
// a Qt message box) and the program folder in which per-port log files lie.
// The dialog keeps a pointer to the grid; the grid must outlive it.
#include "PortListCommands.h"

#include <QDialog>

#include <string>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

class TfrmPortSetting : public QDialog {
    Q_OBJECT
public:
    explicit TfrmPortSetting(QWidget* parent = nullptr);

    void SetPortGrid(const TPortGrid* grid);
    void SetRemoteOPC(bool enabled);
    void SetShowMsg(TShowMsgFn showMsg);
    void SetProgramFolder(std::string folder); // per-port log files: folder + port + ".log"

    // The "No." of the row being edited, 0 for a new setting; the port-in-use
    // check does not count that row.
    int EditedID() const { return editedId_; }

    // New: empty fields, no list item selected, every box unticked, edited ID 0.
    void Clear();
    // Edit: fills the dialog from a grid row; the edited ID is its "No.".
    // Ticking the hidden log box here tells where the log file will lie.
    void LoadFromRow(const TPortGrid& grid, int row);
    // The fields as entered (ID left empty), and writing them into a row
    // ("No." and the display columns untouched).
    TPortSetting EnteredSetting() const;
    void StoreToRow(TPortGrid& grid, int row) const;

    // Shows "Port In Use!" when another row with a "No." has the chosen port.
    void CheckPortInUse();

public slots:
    // OK: stays open with a warning while a required field is empty.
    void accept() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    bool RequiredFieldsFilled() const;
    int ShowMsg(const std::string& text, int kind, int buttons);
    void CharTerminatedToggled(bool ticked);
    void LogToggled();

    const TPortGrid* grid_ = nullptr;
    bool remoteOPC_ = false;
    TShowMsgFn showMsg_;
    std::string programFolder_;
    int editedId_ = 0;
    bool filling_ = false; // Clear() resets the log box without a message

    QLineEdit* edtDescription;
    QComboBox* cbxPort;
    QLabel* lblPortInUse;
    QComboBox* cbxBaudRate;
    QComboBox* cbxDataBits;
    QComboBox* cbxParity;
    QComboBox* cbxStopBits;
    QComboBox* cbxFlowControl;
    QCheckBox* cbxDisabled;
    QCheckBox* cbxLog;
    QCheckBox* cbxCharTerminated;
    QSpinBox* speTerminatingChar;
    QLineEdit* edtExtractFromSubString;
    QCheckBox* cbxConvertHEX;
    QLineEdit* edtAutoSuffix;
    QLineEdit* edtAutoSendString;
    QSpinBox* setAutoSendDelay;
    QGroupBox* gbxRemoteOPC;
    QLineEdit* edtReceivedStringTag;
    QLineEdit* edtReceivedFlagTag;
    QLineEdit* edtSentStringTag;
    QLineEdit* edtSentFlagTag;
    QPushButton* bbOK;
    QPushButton* bbnCancel;
};

// An editor for the port list commands backed by `dialog`: it points the
// dialog at the grid, fills it (Clear for New, LoadFromRow for Edit), runs it
// and hands back the entered fields when it was accepted. `run` shows the
// dialog and returns whether it was accepted; by default it runs it modally.
TPortSettingEditor MakeDialogEditor(TfrmPortSetting& dialog,
                                    std::function<bool(TfrmPortSetting&)> run = {});
