#include "about.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent)
{
    setObjectName("AboutBox");
    setWindowTitle("About Quorbel Linvaro");
    auto* layout = new QVBoxLayout(this);
    auto* product = new QLabel("Quorbel Linvaro", this);
    product->setObjectName("ProductName");
    QFont f = product->font();
    f.setBold(true);
    f.setPointSizeF(f.pointSizeF() * 1.4);
    product->setFont(f);
    layout->addWidget(product);
    auto* version = new QLabel("Version 2.1", this);
    version->setObjectName("Version");
    layout->addWidget(version);
    layout->addWidget(new QLabel("Serial devices to OPC Data Access 2.0 clients.", this));
    auto* close = new QPushButton("&Close", this);
    close->setObjectName("OKButton");
    close->setDefault(true);
    layout->addWidget(close, 0, Qt::AlignRight);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
}
