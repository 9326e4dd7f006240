#pragma once
// TfrmMain: the main window, a view of the MainController. Two pages
// ("Monitor" with the activity log, "Port Settings" with the port grid and the
// system settings), the command buttons, and the tray icon.
#include "MainController.h"
#include "PortListCommands.h"

#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

#include <functional>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QTableWidget;
class QTabWidget;

class TfrmMain : public QWidget {
    Q_OBJECT
public:
    explicit TfrmMain(MainController& controller, QWidget* parent = nullptr);
    ~TfrmMain() override;

    // Closes without the exit question (the "Exit" message); when the
    // question is open already, it is answered and the window closes.
    void CloseFromExitMessage();
    // "Hide": into the tray, or minimised on a desktop without a tray (a
    // hidden window could not be brought back there).
    void HideToTray();
    // The first show: hidden ("Hide on Startup", as HideToTray) or shown.
    void ShowAtStartup();
    bool ExitConfirmation() const { return exitConfirmation_; }

    // Runs the Port Setting dialog for New/Edit (row 0 = New) and hands back
    // the entered fields; replaceable for tests.
    TPortSettingEditor portEditor;
    // Shows the simulation window and returns the text to set (or nothing).
    std::function<bool(const QString& tagName, QString& text)> simulateRunner;
    // Asks for the settings password; returns whether it was accepted.
    std::function<bool()> passwordRunner;

    // Commands, as the buttons run them.
    void NewPort();
    void EditPort();
    void DeletePort();
    void SimulateSelected();

    QTabWidget* Pages() const { return pages_; }
    QTableWidget* GridView() const { return grid_; }
    QSystemTrayIcon* Tray() const { return tray_; }
    // The tray's two images: 0 = scanning stopped, 1 = scanning started.
    int TrayImage() const { return trayImage_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void buildMonitorPage();
    void buildSettingsPage();
    void buildTray();
    void rebuildGrid();
    void updateCell(int column, int row);
    void loadControls();
    void applyRemoteRule();
    void applyProtectRule();
    void onPageChanged(int index);
    void setScanningState(bool started);
    bool askPassword();

    MainController& c_;
    QTabWidget* pages_ = nullptr;
    QPlainTextEdit* mmoLog_ = nullptr;
    QPushButton* bbnStart_ = nullptr;
    QPushButton* bbnStop_ = nullptr;
    QTableWidget* grid_ = nullptr;
    QSpinBox* setTagResponseTimeout_ = nullptr;
    QSpinBox* setPortResponseTimeout_ = nullptr;
    QCheckBox* cbxLoadOnStartup_ = nullptr;
    QCheckBox* cbxLogEvent_ = nullptr;
    QCheckBox* cbxHideOnStartup_ = nullptr;
    QCheckBox* cbxEnableRemoteOPC_ = nullptr;
    QLineEdit* edtOPCServerName_ = nullptr;
    QCheckBox* cbxProtectSettings_ = nullptr;
    QLineEdit* edtPassword_ = nullptr;
    QLineEdit* edtConfirmPassword_ = nullptr;
    QWidget* remoteWidgets_[9] = {};
    QPushButton* bbnLocalOPC_ = nullptr;
    QLabel* lblPassword_ = nullptr;
    QLabel* lblConfirmPassword_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    QMenu* trayMenu_ = nullptr;
    QTimer trayClickTimer_;
    QTimer tmrHide_;
    int trayImage_ = 0;
    bool exitConfirmation_ = true;
    bool closeAllowed_ = false;
    bool firstShowDone_ = false;
    bool loadingControls_ = false;
    int lastPage_ = 0;
};
