#pragma once
// "Enter Password": asks for the settings password before the "Port Settings"
// page opens.
#include <QDialog>

class QLineEdit;

class TPasswordDlg : public QDialog {
    Q_OBJECT
public:
    explicit TPasswordDlg(QWidget* parent = nullptr);
    QString Password() const;
    QLineEdit* PasswordField() const { return password_; }

private:
    QLineEdit* password_;
};
