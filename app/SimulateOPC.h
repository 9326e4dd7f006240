#pragma once
// "Simulate String Received": sets a port tag's value by hand, as if the
// device had sent the string.
#include <QDialog>

class QLineEdit;

class TfrmSimulateOPC : public QDialog {
    Q_OBJECT
public:
    explicit TfrmSimulateOPC(const QString& tagName, QWidget* parent = nullptr);
    QString Text() const;
    QLineEdit* StringField() const { return string_; }

private:
    QLineEdit* string_;
};
