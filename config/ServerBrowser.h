#pragma once
// TfrmSelectServer: "Select OPC Server", the OPC Data Access 2.0 servers
// known on this computer, so that the user can pick one for remote mode
// instead of typing its ProgID.
#include "OPCenum.h"

#include <QDialog>

#include <string>

class QListWidget;

class TfrmSelectServer : public QDialog {
    Q_OBJECT
public:
    explicit TfrmSelectServer(QWidget* parent = nullptr, ServerEnumeratorFactory factory = CreateServerEnumerator);

    // The name of the selected server; empty when none is selected.
    std::string SelectedServer() const;
    QListWidget* Servers() const { return lbxServers_; }
    // Clears the list box and fills it with the names, in sorted order.
    void FillList();

protected:
    void showEvent(QShowEvent* event) override;

private:
    ServerEnumeratorFactory factory_;
    QListWidget* lbxServers_ = nullptr;
};
