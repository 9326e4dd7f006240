#pragma once
// TShutDownDlg: "Select Server to Shutdown...", the choice of one live server
// object (by its slot number + 1) whose client is asked to shut down.
#include <QDialog>

class QComboBox;
class QPushButton;

class TShutDownDlg : public QDialog {
    Q_OBJECT
public:
    explicit TShutDownDlg(QWidget* parent = nullptr);

    // Adds the item of a slot (0..30): its text is slot + 1.
    void AddServer(int slot);
    // The slot remembered by the selected item, or -1.
    int SelectedSlot() const;
    QComboBox* Servers() const { return cbxServer_; }
    QPushButton* OkButton() const { return ok_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    QComboBox* cbxServer_ = nullptr;
    QPushButton* ok_ = nullptr;
};
