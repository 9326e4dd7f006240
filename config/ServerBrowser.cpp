#include "ServerBrowser.h"

#include "OPCDA.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

TfrmSelectServer::TfrmSelectServer(QWidget* parent, ServerEnumeratorFactory factory)
    : QDialog(parent), factory_(std::move(factory))
{
    setObjectName("frmSelectServer");
    setWindowTitle("Select OPC Server");
    auto* layout = new QVBoxLayout(this);
    auto* label = new QLabel("Available Servers:", this);
    lbxServers_ = new QListWidget(this);
    lbxServers_->setObjectName("lbxServers");
    label->setBuddy(lbxServers_);
    layout->addWidget(label);
    layout->addWidget(lbxServers_, 1);
    auto* buttons = new QHBoxLayout;
    auto* ok = new QPushButton("OK", this);
    ok->setObjectName("bbnOK");
    ok->setDefault(true);
    auto* cancel = new QPushButton("Cancel", this);
    cancel->setObjectName("bbnCancel");
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    resize(300, 260);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(lbxServers_, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
}

void TfrmSelectServer::FillList()
{
    lbxServers_->clear();
    TOPCServerList list("", {CATID_OPCDAServer20}, factory_);
    list.Refresh();
    for (const std::string& name : list.Names())
        lbxServers_->addItem(QString::fromStdString(name));
}

void TfrmSelectServer::showEvent(QShowEvent* event)
{
    FillList();
    QDialog::showEvent(event);
}

std::string TfrmSelectServer::SelectedServer() const
{
    const QListWidgetItem* item = lbxServers_->currentItem();
    if (!item || !item->isSelected())
        return {};
    return item->text().toStdString();
}
