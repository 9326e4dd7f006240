#include "SimulateOPC.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>

TfrmSimulateOPC::TfrmSimulateOPC(const QString& tagName, QWidget* parent) : QDialog(parent)
{
    setObjectName("frmSimulateOPC");
    setWindowTitle("Simulate String Received");
    auto* form = new QFormLayout(this);
    auto* tag = new QLineEdit(tagName, this);
    tag->setObjectName("edtTag");
    tag->setReadOnly(true);
    form->addRow("OPC Tag:", tag);
    string_ = new QLineEdit(this);
    string_->setObjectName("edtString");
    form->addRow("String:", string_);
    auto* row = new QHBoxLayout;
    auto* set = new QPushButton("Set", this);
    set->setObjectName("bbnSet");
    set->setDefault(true);
    auto* cancel = new QPushButton("Cancel", this);
    cancel->setObjectName("bbnCancel");
    row->addStretch();
    row->addWidget(set);
    row->addWidget(cancel);
    form->addRow(row);
    connect(set, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

QString TfrmSimulateOPC::Text() const { return string_->text(); }
