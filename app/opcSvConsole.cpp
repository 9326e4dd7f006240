#include "opcSvConsole.h"

#include "OpcContext.h"
#include "RegDeRegServer.h"
#include "ServIMPL.h"
#include "ShutDownRequest.h"

#include <QCoreApplication>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
constexpr int kKindError = 1, kKindInformation = 2, kKindConfirmation = 3;
constexpr int kButtonsYesNo = 1 | 2, kButtonOk = 4;
constexpr int kAnswerYes = 6;
} // namespace

TfrmOPCServerConsole::TfrmOPCServerConsole(ShowMsgFn showMsg, QWidget* parent)
    : QDialog(parent), showMsg_(std::move(showMsg))
{
    setObjectName("frmOPCServerConsole");
    setWindowTitle("OPC Server Console");
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);

    auto* layout = new QVBoxLayout(this);
    auto* panel = new QFrame(this);
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    auto* counts = new QGridLayout(panel);
    auto* label2 = new QLabel("Clients Connected:", panel);
    label2->setObjectName("Label2");
    clientConLbl_ = new QLabel("0", panel);
    clientConLbl_->setObjectName("ClientConLbl");
    auto* label1 = new QLabel("Group count:", panel);
    label1->setObjectName("Label1");
    grpCountLbl_ = new QLabel("0", panel);
    grpCountLbl_->setObjectName("GrpCountLbl");
    counts->addWidget(label2, 0, 0);
    counts->addWidget(clientConLbl_, 0, 1);
    counts->addWidget(label1, 1, 0);
    counts->addWidget(grpCountLbl_, 1, 1);
    counts->setColumnStretch(1, 1);
    layout->addWidget(panel);

    auto* group = new QGroupBox(" Server ", this);
    auto* buttons = new QGridLayout(group);
    auto* regSerBtn = new QPushButton("Register", group);
    regSerBtn->setObjectName("RegSerBtn");
    auto* unRegBtn = new QPushButton("Unregister", group);
    unRegBtn->setObjectName("UnRegBtn");
    sdButton_ = new QPushButton("Shutdown Request", group);
    sdButton_->setObjectName("SDButton");
    sdButton_->setEnabled(false);
    auto* closeBtn = new QPushButton("Close", group);
    closeBtn->setObjectName("CloseBtn");
    buttons->addWidget(regSerBtn, 0, 0);
    buttons->addWidget(unRegBtn, 0, 1);
    buttons->addWidget(sdButton_, 1, 0);
    buttons->addWidget(closeBtn, 1, 1);
    layout->addWidget(group);
    setFixedSize(305, 213);

    connect(regSerBtn, &QPushButton::clicked, this, &TfrmOPCServerConsole::RegSerBtnClick);
    connect(unRegBtn, &QPushButton::clicked, this, &TfrmOPCServerConsole::UnRegBtnClick);
    connect(sdButton_, &QPushButton::clicked, this, &TfrmOPCServerConsole::SDButtonClick);
    connect(closeBtn, &QPushButton::clicked, this, &QDialog::accept);

    shutdownDialogRunner = [](TShutDownDlg& dlg) { return dlg.exec() == QDialog::Accepted; };
    plainMessage = [this](const std::string& text) {
        QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(), QString::fromStdString(text),
                        QMessageBox::Ok, this);
        box.exec();
    };

    OpcContext& context = TheOpcContext();
    previousHook_ = context.consoleRefresh;
    context.consoleRefresh = [this, previous = previousHook_] {
        if (previous)
            previous();
        Refresh();
    };
}

TfrmOPCServerConsole::~TfrmOPCServerConsole() { TheOpcContext().consoleRefresh = previousHook_; }

void TfrmOPCServerConsole::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    Refresh();
}

void TfrmOPCServerConsole::Refresh()
{
    if (QCoreApplication::closingDown())
        return;
    int servers = 0;
    for (int slot = 0; slot < TDA2::kSlots; ++slot)
        if (ServerInSlot(slot))
            ++servers;
    clientConLbl_->setText(QString::number(servers));
    grpCountLbl_->setText(QString::number(TotalGroupCount()));
    sdButton_->setEnabled(servers > 0);
}

void TfrmOPCServerConsole::RegSerBtnClick()
{
    std::string error;
    if (!comserver::RegisterOpcServer(error)) {
        showMsg_(error, kKindError, kButtonOk);
        return;
    }
    showMsg_(kRegistered, kKindInformation, kButtonOk);
}

void TfrmOPCServerConsole::UnRegBtnClick()
{
    if (showMsg_(kUnregisterQuestion, kKindConfirmation, kButtonsYesNo) != kAnswerYes)
        return;
    comserver::UnregisterOpcServer();
    showMsg_(kUnregistered, kKindInformation, kButtonOk);
}

void TfrmOPCServerConsole::SDButtonClick()
{
    TShutDownDlg dlg(this);
    for (int slot = 0; slot < TDA2::kSlots; ++slot)
        if (ServerInSlot(slot))
            dlg.AddServer(slot);
    if (!shutdownDialogRunner(dlg))
        return;
    const int slot = dlg.SelectedSlot();
    if (slot < 0)
        return;
    // The client may have gone while the dialog was open.
    TDA2* server = ServerInSlot(slot);
    if (!server || !server->HasShutdownSink())
        return;
    if (!server->RequestShutdown())
        plainMessage(kNoShutdownInterface);
}
