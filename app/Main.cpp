#include "Main.h"

#include "EnterPassword.h"
#include "MessageBoxes.h"
#include "PlugImage.h"
#include "PortListCommands.h"
#include "PortSetting.h"
#include "PortText.h"
#include "ServerBrowser.h"
#include "SimulateOPC.h"
#include "about.h"
#include "opcSvConsole.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QStyleHints>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

constexpr int kColumnWidths[TPortGrid::kColumnCount] = {2,  129, 54, 56, 53, 51, 48, 63, 64,  64, 64,
                                                        64, 64,  64, 79, 56, 162, 2, 64, 64, 64, 64};

QIcon TrayIcon(bool started) { return QIcon(QPixmap::fromImage(PlugImage(started, 32))); }

// The icon installed with the program, else the same picture drawn here.
QIcon ProgramIcon()
{
    QIcon drawn;
    for (const int size : kProgramIconSizes)
        drawn.addPixmap(QPixmap::fromImage(PlugImage(true, size)));
    return QIcon::fromTheme("linvaro", drawn);
}

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }
std::string S(const QString& s) { return s.toUtf8().toStdString(); }

} // namespace

TfrmMain::TfrmMain(MainController& controller, QWidget* parent) : QWidget(parent), c_(controller)
{
    setObjectName("frmMain");
    setWindowTitle("Quorbel Linvaro");
    setWindowIcon(ProgramIcon());
    // Fixed single border with the system menu only: no minimise or maximise,
    // except on a desktop without a system tray, where minimising is the
    // way "Hide" leaves the window reachable.
    Qt::WindowFlags flags = Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                            Qt::MSWindowsFixedSizeDialogHint;
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        flags |= Qt::WindowMinimizeButtonHint;
    setWindowFlags(flags);
    setFixedSize(688, 566);

    auto* outer = new QVBoxLayout(this);
    pages_ = new QTabWidget(this);
    pages_->setObjectName("pgcMain");
    outer->addWidget(pages_);
    buildMonitorPage();
    buildSettingsPage();

    auto* bottom = new QHBoxLayout;
    auto* bbClose = new QPushButton("E&xit", this);
    bbClose->setObjectName("bbClose");
    bbClose->setToolTip("Exit Linvaro");
    auto* bbnAbout = new QPushButton("About", this);
    bbnAbout->setObjectName("bbnAbout");
    auto* bbnHide = new QPushButton("Hide", this);
    bbnHide->setObjectName("bbnHide");
    bbnHide->setToolTip("Hide to Task Tray");
    bottom->addWidget(bbClose);
    bottom->addStretch();
    bottom->addWidget(bbnAbout);
    bottom->addWidget(bbnHide);
    outer->addLayout(bottom);
    connect(bbClose, &QPushButton::clicked, this, [this] {
        exitConfirmation_ = true;
        close();
    });
    connect(bbnAbout, &QPushButton::clicked, this, [this] { TAboutBox(this).exec(); });
    connect(bbnHide, &QPushButton::clicked, this, &TfrmMain::HideToTray);

    buildTray();

    tmrHide_.setSingleShot(true);
    tmrHide_.setInterval(1);
    connect(&tmrHide_, &QTimer::timeout, this, [this] {
        c_.EndStartupPhase();
        if (c_.Controls().hideOnStartup)
            HideToTray();
    });

    connect(&c_, &MainController::scanningChanged, this, &TfrmMain::setScanningState);
    connect(&c_, &MainController::hideRequested, this, &TfrmMain::HideToTray);
    connect(&c_, &MainController::settingsLoaded, this, &TfrmMain::loadControls);
    // The window offers to try again; the box is shown from the event loop,
    // never inside the retry timer's own call.
    connect(
        &c_, &MainController::databaseUnavailable, this,
        [this](const std::string& error) {
            if (c_.ShowMsg(error + "\r\rTry again?", 1, 1 | 2) == 6)
                c_.RetryDatabase();
        },
        Qt::QueuedConnection);
    connect(&c_.Grid(), &TPortGrid::rowsChanged, this, &TfrmMain::rebuildGrid);
    connect(&c_.Grid(), &TPortGrid::cellChanged, this, &TfrmMain::updateCell);
    connect(&c_.Activity(), &ActivityLog::lineAdded, this, [this](const QString& line) {
        mmoLog_->appendPlainText(line);
    });
    connect(&c_.Activity(), &ActivityLog::cleared, mmoLog_, &QPlainTextEdit::clear);
    c_.windowVisible = [this] { return isVisible(); };

    portEditor = [this](const TPortGrid& grid, int row, TPortSetting& entered) {
        TfrmPortSetting dialog(this);
        dialog.SetRemoteOPC(cbxEnableRemoteOPC_->isChecked());
        dialog.SetProgramFolder(c_.Opts().programFolder);
        dialog.SetShowMsg([this](const std::string& t, int k, int b) { return c_.ShowMsg(t, k, b); });
        return MakeDialogEditor(dialog)(grid, row, entered);
    };
    simulateRunner = [this](const QString& tagName, QString& text) {
        TfrmSimulateOPC window(tagName, this);
        if (window.exec() != QDialog::Accepted)
            return false;
        text = window.Text();
        return true;
    };
    passwordRunner = [this] {
        TPasswordDlg dialog(this);
        dialog.move(geometry().center() - dialog.rect().center());
        return dialog.exec() == QDialog::Accepted && c_.PasswordAccepted(S(dialog.Password()));
    };

    pages_->setCurrentIndex(0);
    rebuildGrid();
    loadControls();
    setScanningState(false);
}

TfrmMain::~TfrmMain()
{
    c_.windowVisible = nullptr;
    if (tray_)
        tray_->hide();
}

void TfrmMain::buildMonitorPage()
{
    auto* page = new QWidget;
    page->setObjectName("tabMonitor");
    auto* layout = new QVBoxLayout(page);
    mmoLog_ = new QPlainTextEdit(page);
    mmoLog_->setObjectName("mmoLog");
    mmoLog_->setReadOnly(true);
    mmoLog_->setLineWrapMode(QPlainTextEdit::NoWrap);
    mmoLog_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    mmoLog_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    layout->addWidget(mmoLog_);
    auto* buttons = new QHBoxLayout;
    bbnStart_ = new QPushButton("Start", page);
    bbnStart_->setObjectName("bbnStart");
    bbnStart_->setToolTip("Start Scanning");
    bbnStop_ = new QPushButton("Stop", page);
    bbnStop_->setObjectName("bbnStop");
    bbnStop_->setToolTip("Stop Scanning");
    auto* clear = new QPushButton("Clear", page);
    clear->setObjectName("BitBtn2");
    buttons->addWidget(bbnStart_);
    buttons->addWidget(bbnStop_);
    buttons->addStretch();
    buttons->addWidget(clear);
    layout->addLayout(buttons);
    connect(bbnStart_, &QPushButton::clicked, this, [this] { c_.Start(); });
    connect(bbnStop_, &QPushButton::clicked, this, [this] { c_.Stop(); });
    connect(clear, &QPushButton::clicked, this, [this] { c_.Activity().Clear(); });
    pages_->addTab(page, "Monitor");
}

void TfrmMain::buildSettingsPage()
{
    auto* page = new QWidget;
    page->setObjectName("tabPortSettings");
    auto* layout = new QVBoxLayout(page);

    auto* ports = new QGroupBox("Port Settings:", page);
    auto* portsLayout = new QVBoxLayout(ports);
    grid_ = new QTableWidget(ports);
    grid_->setObjectName("sgdList");
    grid_->setColumnCount(TPortGrid::kColumnCount);
    QStringList titles;
    for (const char* t : kPortGridTitles)
        titles << t;
    grid_->setHorizontalHeaderLabels(titles);
    grid_->verticalHeader()->setVisible(false);
    grid_->verticalHeader()->setDefaultSectionSize(20);
    grid_->setSelectionBehavior(QAbstractItemView::SelectRows);
    grid_->setSelectionMode(QAbstractItemView::SingleSelection);
    grid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    grid_->horizontalHeader()->setMinimumSectionSize(2); // "No." and "Auto-Send Interval" are 2 px wide
    for (int col = 0; col < TPortGrid::kColumnCount; ++col)
        grid_->setColumnWidth(col, kColumnWidths[col]);
    grid_->setContextMenuPolicy(Qt::CustomContextMenu);
    auto* gridMenu = new QMenu(grid_);
    gridMenu->addAction("Simulate", this, &TfrmMain::SimulateSelected);
    connect(grid_, &QWidget::customContextMenuRequested, this,
            [this, gridMenu](const QPoint& pos) { gridMenu->popup(grid_->viewport()->mapToGlobal(pos)); });
    connect(grid_, &QTableWidget::currentCellChanged, this, [this](int row, int, int, int) {
        if (row >= 0)
            c_.SetSelectedRow(row + 1);
    });
    portsLayout->addWidget(grid_);
    auto* listButtons = new QHBoxLayout;
    for (auto [name, caption] : {std::pair{"bbnNew", "New"}, std::pair{"bbnEdit", "Edit"}, std::pair{"bbnDelete", "Delete"}}) {
        auto* b = new QPushButton(caption, ports);
        b->setObjectName(name);
        listButtons->addWidget(b);
        if (QString(name) == "bbnNew")
            connect(b, &QPushButton::clicked, this, &TfrmMain::NewPort);
        else if (QString(name) == "bbnEdit")
            connect(b, &QPushButton::clicked, this, &TfrmMain::EditPort);
        else
            connect(b, &QPushButton::clicked, this, &TfrmMain::DeletePort);
    }
    listButtons->addStretch();
    portsLayout->addLayout(listButtons);
    layout->addWidget(ports, 1);

    auto* lower = new QHBoxLayout;
    auto* system = new QGroupBox("System Settings:", page);
    auto* sys = new QGridLayout(system);
    cbxLoadOnStartup_ = new QCheckBox("&Load on Windows startup", system);
    cbxLoadOnStartup_->setObjectName("cbxLoadOnStartup");
    cbxLoadOnStartup_->setVisible(false);
    cbxLogEvent_ = new QCheckBox("Lo&g events into log file", system);
    cbxLogEvent_->setObjectName("cbxLogEvent");
    cbxHideOnStartup_ = new QCheckBox("&Hide on Startup", system);
    cbxHideOnStartup_->setObjectName("cbxHideOnStartup");
    cbxProtectSettings_ = new QCheckBox("Protect Settings:", system);
    cbxProtectSettings_->setObjectName("cbxProtectSettings");
    lblPassword_ = new QLabel("Password:", system);
    edtPassword_ = new QLineEdit(system);
    edtPassword_->setObjectName("edtPassword");
    edtPassword_->setEchoMode(QLineEdit::Password);
    lblConfirmPassword_ = new QLabel("Confirm Password:", system);
    edtConfirmPassword_ = new QLineEdit(system);
    edtConfirmPassword_->setObjectName("edtConfirmPassword");
    edtConfirmPassword_->setEchoMode(QLineEdit::Password);
    sys->addWidget(cbxLogEvent_, 0, 0, 1, 2);
    sys->addWidget(cbxHideOnStartup_, 1, 0, 1, 2);
    sys->addWidget(cbxProtectSettings_, 2, 0, 1, 2);
    sys->addWidget(lblPassword_, 3, 0);
    sys->addWidget(edtPassword_, 3, 1);
    sys->addWidget(lblConfirmPassword_, 4, 0);
    sys->addWidget(edtConfirmPassword_, 4, 1);
    sys->setColumnStretch(1, 1);
    edtPassword_->setMinimumWidth(110);
    edtConfirmPassword_->setMinimumWidth(110);
    lower->addWidget(system);

    auto* remote = new QGroupBox(page);
    remote->setObjectName("gbxRemote");
    auto* rem = new QGridLayout(remote);
    cbxEnableRemoteOPC_ = new QCheckBox("Remote OPC Server", remote);
    cbxEnableRemoteOPC_->setObjectName("cbxEnableRemoteOPC");
    auto* lblServer = new QLabel("OPC Server Name:", remote);
    edtOPCServerName_ = new QLineEdit(remote);
    edtOPCServerName_->setObjectName("edtOPCServerName");
    auto* browse = new QPushButton("Browse Server", remote);
    browse->setObjectName("bbnBrowseServer");
    auto* lblTag = new QLabel("Tag Response Timeout:", remote);
    setTagResponseTimeout_ = new QSpinBox(remote);
    setTagResponseTimeout_->setObjectName("setTagResponseTimeout");
    setTagResponseTimeout_->setRange(0, 999);
    auto* lblTagUnit = new QLabel("seconds (set to 0 for no timeout)", remote);
    auto* lblPort = new QLabel("Port Response Timeout:", remote);
    setPortResponseTimeout_ = new QSpinBox(remote);
    setPortResponseTimeout_->setObjectName("setPortResponseTimeout");
    setPortResponseTimeout_->setRange(0, 99999);
    auto* lblPortUnit = new QLabel("milliseconds", remote);
    bbnLocalOPC_ = new QPushButton("Local OPC Server", remote);
    bbnLocalOPC_->setObjectName("bbnLocalOPCServer");
    rem->addWidget(cbxEnableRemoteOPC_, 0, 0, 1, 3);
    rem->addWidget(lblServer, 1, 0);
    rem->addWidget(edtOPCServerName_, 1, 1);
    rem->addWidget(browse, 1, 2);
    rem->addWidget(lblTag, 2, 0);
    rem->addWidget(setTagResponseTimeout_, 2, 1);
    rem->addWidget(lblTagUnit, 2, 2);
    rem->addWidget(lblPort, 3, 0);
    rem->addWidget(setPortResponseTimeout_, 3, 1);
    rem->addWidget(lblPortUnit, 3, 2);
    rem->addWidget(bbnLocalOPC_, 4, 0, 1, 3);
    rem->setColumnStretch(1, 1);
    QWidget* remoteWidgets[] = {lblServer, edtOPCServerName_, browse, lblTag, setTagResponseTimeout_, lblTagUnit,
                                lblPort, setPortResponseTimeout_, lblPortUnit};
    std::copy(std::begin(remoteWidgets), std::end(remoteWidgets), remoteWidgets_);
    lower->addWidget(remote);
    layout->addLayout(lower);

    auto* foot = new QHBoxLayout;
    auto* note = new QLabel("Note: If Remote OPC Server is enabled, Local OPC Server will be disabled.", page);
    auto* save = new QPushButton("Save", page);
    save->setObjectName("bbnSave");
    save->setToolTip("Save all");
    foot->addWidget(note);
    foot->addStretch();
    foot->addWidget(save);
    layout->addLayout(foot);
    pages_->addTab(page, "Port Settings");

    // Controls -> controller. Loading the controls from the settings must
    // not count as a user's change.
    connect(setTagResponseTimeout_, &QSpinBox::valueChanged, this, [this](int v) {
        if (!loadingControls_)
            c_.SetTagResponseTimeoutControl(v);
    });
    connect(setPortResponseTimeout_, &QSpinBox::valueChanged, this, [this](int v) {
        if (!loadingControls_)
            c_.SetPortResponseTimeoutControl(v);
    });
    connect(cbxLoadOnStartup_, &QCheckBox::toggled, this, [this](bool on) { c_.Controls().loadOnWindowsStartup = on; });
    connect(cbxLogEvent_, &QCheckBox::toggled, this, [this](bool on) { c_.Controls().logEvent = on; });
    connect(cbxHideOnStartup_, &QCheckBox::toggled, this, [this](bool on) { c_.Controls().hideOnStartup = on; });
    connect(cbxProtectSettings_, &QCheckBox::toggled, this, [this](bool on) {
        c_.Controls().protectSettings = on;
        applyProtectRule();
    });
    connect(edtPassword_, &QLineEdit::textEdited, this, [this](const QString& t) { c_.Controls().password = S(t); });
    connect(edtConfirmPassword_, &QLineEdit::textEdited, this, [this](const QString& t) { c_.ConfirmPassword() = S(t); });
    connect(cbxEnableRemoteOPC_, &QCheckBox::clicked, this, [this](bool on) {
        c_.SetRemoteBox(on);
        applyRemoteRule();
    });
    connect(edtOPCServerName_, &QLineEdit::textEdited, this, [this](const QString& t) { c_.SetServerNameControl(S(t)); });
    connect(browse, &QPushButton::clicked, this, [this] {
        TfrmSelectServer dialog(this);
        if (dialog.exec() != QDialog::Accepted)
            return;
        const std::string name = dialog.SelectedServer();
        if (name.empty())
            return;
        edtOPCServerName_->setText(Q(name));
        c_.SetServerNameControl(name);
    });
    connect(bbnLocalOPC_, &QPushButton::clicked, this, [this] {
        // The console hooks itself into the console refresh while it exists.
        TfrmOPCServerConsole console([this](const std::string& t, int k, int b) { return c_.ShowMsg(t, k, b); }, this);
        console.exec();
    });
    connect(save, &QPushButton::clicked, this, [this] {
        if (!c_.Save() && cbxProtectSettings_->isChecked() && edtPassword_->text() != edtConfirmPassword_->text())
            edtPassword_->setFocus();
    });
    connect(pages_, &QTabWidget::currentChanged, this, &TfrmMain::onPageChanged);
}

void TfrmMain::buildTray()
{
    tray_ = new QSystemTrayIcon(TrayIcon(false), this);
    tray_->setToolTip("Quorbel Linvaro");
    trayMenu_ = new QMenu(this);
    QAction* showAction = trayMenu_->addAction("Show", this, [this] {
        show();
        raise();
        activateWindow();
    });
    QFont bold = showAction->font();
    bold.setBold(true);
    showAction->setFont(bold); // the default item
    trayMenu_->addAction("About", this, [this] { TAboutBox(this).exec(); });
    trayMenu_->addAction("E&xit", this, [this] { close(); });
    tray_->setContextMenu(trayMenu_);
    // A single click acts once the double-click time has passed without a
    // second click; a double-click does nothing.
    trayClickTimer_.setSingleShot(true);
    connect(&trayClickTimer_, &QTimer::timeout, this, [this] {
        show();
        raise();
        activateWindow();
    });
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            trayClickTimer_.start(QApplication::styleHints()->mouseDoubleClickInterval());
        else if (reason == QSystemTrayIcon::DoubleClick)
            trayClickTimer_.stop();
    });
    if (QSystemTrayIcon::isSystemTrayAvailable())
        tray_->show();
}

void TfrmMain::setScanningState(bool started)
{
    bbnStart_->setEnabled(!started);
    bbnStop_->setEnabled(started);
    trayImage_ = started ? 1 : 0;
    tray_->setIcon(TrayIcon(started));
}

void TfrmMain::rebuildGrid()
{
    const TPortGrid& g = c_.Grid();
    grid_->setRowCount(g.RowCount() - 1);
    for (int row = 1; row < g.RowCount(); ++row)
        for (int col = 0; col < TPortGrid::kColumnCount; ++col)
            updateCell(col, row);
}

void TfrmMain::updateCell(int column, int row)
{
    if (row < 1 || row - 1 >= grid_->rowCount())
        return;
    // Cells hold raw characters (an auto-suffix of CR LF, say): show control
    // characters as the dialog's notation would, never as line breaks. The
    // current value is a port's bytes: shown by the port text rule, as OPC
    // clients see it.
    const std::string& cell = c_.Grid().Cell(column, row);
    QString text = Q(column == TPortGrid::kCurrentValueColumn ? Utf8FromPortBytes(cell) : cell);
    for (auto& ch : text)
        if (ch.unicode() < 32)
            ch = QChar(0x2400 + ch.unicode());
    QTableWidgetItem* item = grid_->item(row - 1, column);
    if (!item)
        grid_->setItem(row - 1, column, new QTableWidgetItem(text));
    else
        item->setText(text);
}

void TfrmMain::loadControls()
{
    loadingControls_ = true;
    const SystemSettings& s = c_.Controls();
    setTagResponseTimeout_->setValue(s.tagResponseTimeout);
    setPortResponseTimeout_->setValue(s.portResponseTimeout);
    cbxLoadOnStartup_->setChecked(s.loadOnWindowsStartup);
    cbxLogEvent_->setChecked(s.logEvent);
    cbxHideOnStartup_->setChecked(s.hideOnStartup);
    cbxEnableRemoteOPC_->setChecked(s.enableRemoteOpcServer);
    edtOPCServerName_->setText(Q(s.remoteOpcServer));
    cbxProtectSettings_->setChecked(s.protectSettings);
    edtPassword_->setText(Q(s.password));
    edtConfirmPassword_->setText(Q(c_.ConfirmPassword()));
    applyRemoteRule();
    applyProtectRule();
    loadingControls_ = false;
}

void TfrmMain::applyRemoteRule()
{
    const bool on = cbxEnableRemoteOPC_->isChecked();
    for (QWidget* w : remoteWidgets_)
        w->setEnabled(on);
    bbnLocalOPC_->setEnabled(!on);
}

void TfrmMain::applyProtectRule()
{
    const bool on = cbxProtectSettings_->isChecked();
    for (QWidget* w : {static_cast<QWidget*>(lblPassword_), static_cast<QWidget*>(edtPassword_),
                       static_cast<QWidget*>(lblConfirmPassword_), static_cast<QWidget*>(edtConfirmPassword_)})
        w->setEnabled(on);
}

void TfrmMain::onPageChanged(int index)
{
    if (index == 1 && c_.PasswordRequired() && !(passwordRunner && passwordRunner())) {
        pages_->setCurrentIndex(0);
        return;
    }
    lastPage_ = index;
}

void TfrmMain::NewPort()
{
    if (PortListNew(c_.Grid(), portEditor))
        c_.SetSettingsModified(true);
}

void TfrmMain::EditPort()
{
    if (PortListEdit(c_.Grid(), c_.SelectedRow(), portEditor))
        c_.SetSettingsModified(true);
}

void TfrmMain::DeletePort()
{
    if (PortListDelete(c_.Grid(), c_.SelectedRow(),
                       [this](const std::string& t, int k, int b) { return c_.ShowMsg(t, k, b); }))
        c_.SetSettingsModified(true);
}

void TfrmMain::SimulateSelected()
{
    TCommObj* link = c_.LinkOfRow(c_.SelectedRow());
    if (!link || link->TagIndex() < 0)
        return;
    QString text;
    if (simulateRunner && simulateRunner(Q(link->TagName()), text))
        c_.Simulate(c_.SelectedRow(), PortBytesFromText(text.toStdU16String()));
}

void TfrmMain::CloseFromExitMessage()
{
    exitConfirmation_ = false;
    if (c_.AskingToExit()) {
        // The window is closing already and waits for the answer: the
        // message answers for the user.
        c_.TakeExitMessage();
        CloseOpenMessageBox();
        return;
    }
    close();
}

void TfrmMain::HideToTray()
{
    if (QSystemTrayIcon::isSystemTrayAvailable())
        hide();
    else
        showMinimized();
}

void TfrmMain::ShowAtStartup()
{
    if (!c_.Controls().hideOnStartup) {
        show();
        return;
    }
    c_.EndStartupPhase();
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        showMinimized();
}

void TfrmMain::closeEvent(QCloseEvent* event)
{
    if (closeAllowed_) {
        event->accept();
        return;
    }
    if (!c_.Close(exitConfirmation_)) {
        exitConfirmation_ = true;
        event->ignore();
        return;
    }
    closeAllowed_ = true;
    if (tray_)
        tray_->hide();
    event->accept();
}

void TfrmMain::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // Every show resets the selected row to 1.
    c_.SetSelectedRow(1);
    if (grid_->rowCount() > 0)
        grid_->setCurrentCell(0, 0);
    if (!firstShowDone_ && c_.StartupPhase()) {
        firstShowDone_ = true;
        tmrHide_.start();
    }
}
