#pragma once
// TfrmOPCServerConsole: the OPC server console, shown modally from the main
// window. It shows the number of live server objects and of their groups,
// registers and unregisters the OPC server, and asks a chosen client to shut
// down.
//
// While the console exists it is hooked into TheOpcContext().consoleRefresh
// (after whatever hook was there before, which is put back when the console
// goes), so the server objects refresh its counts when they are made or
// destroyed and when groups are added or destroyed.
#include <QDialog>

#include <functional>
#include <string>

class QLabel;
class QPushButton;
class TShutDownDlg;

class TfrmOPCServerConsole : public QDialog {
    Q_OBJECT
public:
    // Message boxes with the kinds and button bits of ShowMsg; 6 = Yes.
    using ShowMsgFn = std::function<int(const std::string& text, int kind, int buttons)>;

    static constexpr const char* kRegistered = "The OPC Server has been registered successfully!";
    static constexpr const char* kUnregisterQuestion =
        "Are you sure you want to unregister the OPC server?\r\rAfter unregistered, the OPC server is no longer "
        "available.";
    static constexpr const char* kUnregistered = "The OPC Server has been unregistered successfully!";
    static constexpr const char* kNoShutdownInterface = "The client does not support IOPCShutdown.";

    explicit TfrmOPCServerConsole(ShowMsgFn showMsg, QWidget* parent = nullptr);
    ~TfrmOPCServerConsole() override;

    // Shows the shutdown dialog modally; true on OK. Replaceable for tests.
    std::function<bool(TShutDownDlg&)> shutdownDialogRunner;
    // A plain message box (no icon). Replaceable for tests.
    std::function<void(const std::string&)> plainMessage;

    // The console refresh: counts, and the Shutdown Request button.
    void Refresh();
    void RegSerBtnClick();
    void UnRegBtnClick();
    void SDButtonClick();

    QLabel* ClientConLbl() const { return clientConLbl_; }
    QLabel* GrpCountLbl() const { return grpCountLbl_; }
    QPushButton* SDButton() const { return sdButton_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    ShowMsgFn showMsg_;
    std::function<void()> previousHook_;
    QLabel* clientConLbl_ = nullptr;
    QLabel* grpCountLbl_ = nullptr;
    QPushButton* sdButton_ = nullptr;
};
