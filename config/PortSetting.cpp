#include "PortSetting.h"

#include "SuffixNotation.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

namespace {

constexpr int kMsgWarning = 0;
constexpr int kMsgError = 1;
constexpr int kMsgInformation = 2;
constexpr int kBtnYes = 1;
constexpr int kBtnNo = 2;
constexpr int kBtnOk = 4;
constexpr int kBtnCancel = 8;
constexpr int kPortCount = 500;
constexpr int kDefaultAutoSendInterval = 100;

// The terminating character is typed as its decimal code: only digits and
// backspace get through, and a code above 255 becomes 255 rather than being
// refused digit by digit.
class TTerminatingCharSpinBox : public QSpinBox {
public:
    using QSpinBox::QSpinBox;

protected:
    void keyPressEvent(QKeyEvent* event) override
    {
        const QString text = event->text();
        const bool digit = text.size() == 1 && text[0] >= u'0' && text[0] <= u'9';
        const bool backspace = event->key() == Qt::Key_Backspace;
        // Keys without a printable character (arrows, Tab, Enter, Escape)
        // keep their usual meaning.
        if (!digit && !backspace && !text.isEmpty() && text[0].isPrint()) {
            event->accept();
            return;
        }
        QSpinBox::keyPressEvent(event);
        bool ok = false;
        const qlonglong typed = cleanText().toLongLong(&ok);
        if (digit && ok && typed > maximum())
            setValue(maximum());
    }

    QValidator::State validate(QString& input, int& pos) const override
    {
        if (input.isEmpty())
            return QValidator::Intermediate;
        for (const QChar c : input) {
            if (c < u'0' || c > u'9')
                return QValidator::Invalid;
        }
        (void)pos;
        return QValidator::Acceptable;
    }

    int valueFromText(const QString& text) const override
    {
        bool ok = false;
        const qlonglong typed = text.toLongLong(&ok);
        if (!ok || typed > maximum())
            return maximum(); // only digits get here: a failed parse is an overflow
        return static_cast<int>(std::max<qlonglong>(typed, minimum()));
    }
};

template <std::size_t N>
QComboBox* MakeList(QWidget* parent, const char* name, const std::array<const char*, N>& texts)
{
    auto* box = new QComboBox(parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setEditable(false);
    for (const char* t : texts)
        box->addItem(QString::fromLatin1(t));
    box->setCurrentIndex(-1);
    return box;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    return edit;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& caption, QWidget* buddy = nullptr)
{
    auto* label = new QLabel(caption, parent);
    label->setObjectName(QString::fromLatin1(name));
    if (buddy)
        label->setBuddy(buddy);
    return label;
}

std::string Text(const QLineEdit* edit)
{
    return edit->text().toStdString();
}

std::string Text(const QComboBox* box)
{
    return box->currentIndex() < 0 ? std::string() : box->currentText().toStdString();
}

void SelectText(QComboBox* box, const std::string& text)
{
    box->setCurrentIndex(
        box->findText(QString::fromStdString(text), Qt::MatchExactly | Qt::MatchCaseSensitive));
}

int MessageBoxAnswer(QWidget* parent, const std::string& text, int kind, int buttons)
{
    QMessageBox::Icon icon = QMessageBox::Question;
    if (kind == kMsgWarning)
        icon = QMessageBox::Warning;
    else if (kind == kMsgError)
        icon = QMessageBox::Critical;
    else if (kind == kMsgInformation)
        icon = QMessageBox::Information;
    QMessageBox::StandardButtons standard;
    if (buttons & kBtnYes)
        standard |= QMessageBox::Yes;
    if (buttons & kBtnNo)
        standard |= QMessageBox::No;
    if ((buttons & kBtnOk) || standard == QMessageBox::NoButton)
        standard |= QMessageBox::Ok;
    if (buttons & kBtnCancel)
        standard |= QMessageBox::Cancel;
    QMessageBox box(icon, QApplication::applicationDisplayName(), QString::fromStdString(text),
                    standard, parent);
    switch (box.exec()) {
    case QMessageBox::Yes: return 6;
    case QMessageBox::No: return 7;
    case QMessageBox::Cancel: return 2;
    default: return 1;
    }
}

} // namespace

TfrmPortSetting::TfrmPortSetting(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("frmPortSetting"));
    setWindowTitle(QStringLiteral("Port Setting"));
    setModal(true);

    // Port and line settings.
    edtDescription = MakeEdit(this, "edtDescription");
    cbxPort = new QComboBox(this);
    cbxPort->setObjectName(QStringLiteral("cbxPort"));
    for (int n = 1; n <= kPortCount; ++n)
        cbxPort->addItem(QStringLiteral("COM%1").arg(n));
    cbxPort->setCurrentIndex(-1);
    lblPortInUse = MakeLabel(this, "lblPortInUse", QStringLiteral("Port In Use!"));
    lblPortInUse->setStyleSheet(QStringLiteral("color: red; font-weight: bold;"));
    lblPortInUse->hide();
    cbxBaudRate = MakeList(this, "cbxBaudRate", kBaudRateTexts);
    cbxDataBits = MakeList(this, "cbxDataBits", kDataBitsTexts);
    cbxParity = MakeList(this, "cbxParity", kParityTexts);
    cbxStopBits = MakeList(this, "cbxStopBits", kStopBitsTexts);
    cbxFlowControl = MakeList(this, "cbxFlowControl", kFlowControlTexts);
    cbxDisabled = new QCheckBox(QStringLiteral("Disabled"), this);
    cbxDisabled->setObjectName(QStringLiteral("cbxDisabled"));
    // Per-port logging is kept in the setting but not offered to the user.
    cbxLog = new QCheckBox(QStringLiteral("Log activities"), this);
    cbxLog->setObjectName(QStringLiteral("cbxLog"));
    cbxLog->setVisible(false);

    auto* portGrid = new QGridLayout;
    int r = 0;
    portGrid->addWidget(MakeLabel(this, "lblDescription", QStringLiteral("Description:"), edtDescription), r, 0);
    portGrid->addWidget(edtDescription, r++, 1, 1, 2);
    portGrid->addWidget(MakeLabel(this, "lblPort", QStringLiteral("Port:"), cbxPort), r, 0);
    portGrid->addWidget(cbxPort, r, 1);
    portGrid->addWidget(lblPortInUse, r++, 2);
    const std::pair<const char*, QComboBox*> lists[] = {
        {"Baud Rate:", cbxBaudRate}, {"Data Bits:", cbxDataBits}, {"Parity:", cbxParity},
        {"Stop Bits:", cbxStopBits}, {"Flow Control:", cbxFlowControl}};
    for (const auto& [caption, box] : lists) {
        auto* label = new QLabel(QString::fromLatin1(caption), this);
        label->setObjectName(QStringLiteral("lbl") + box->objectName().mid(3));
        label->setBuddy(box);
        portGrid->addWidget(label, r, 0);
        portGrid->addWidget(box, r++, 1);
    }
    portGrid->addWidget(cbxDisabled, r, 1);
    portGrid->addWidget(cbxLog, r++, 2);

    // Incoming string conditions.
    auto* gbxIncoming = new QGroupBox(QStringLiteral("Incoming String Conditions"), this);
    gbxIncoming->setObjectName(QStringLiteral("gbxIncoming"));
    cbxCharTerminated =
        new QCheckBox(QStringLiteral("Terminated with Char (ASCII code in decimal):"), gbxIncoming);
    cbxCharTerminated->setObjectName(QStringLiteral("cbxCharTerminated"));
    speTerminatingChar = new TTerminatingCharSpinBox(gbxIncoming);
    speTerminatingChar->setObjectName(QStringLiteral("speTerminatingChar"));
    speTerminatingChar->setRange(0, 255);
    speTerminatingChar->setEnabled(false);
    edtExtractFromSubString = MakeEdit(gbxIncoming, "edtExtractFromSubString");
    auto* incoming = new QGridLayout(gbxIncoming);
    incoming->addWidget(cbxCharTerminated, 0, 0);
    incoming->addWidget(speTerminatingChar, 0, 1);
    incoming->addWidget(MakeLabel(gbxIncoming, "lblExtractFromSubString",
                                  QStringLiteral("Extract Sub-string starting from:"),
                                  edtExtractFromSubString),
                        1, 0);
    incoming->addWidget(edtExtractFromSubString, 1, 1);

    // Outgoing string conditions.
    auto* gbxOutgoing = new QGroupBox(QStringLiteral("Outgoing String Conditions"), this);
    gbxOutgoing->setObjectName(QStringLiteral("gbxOutgoing"));
    cbxConvertHEX = new QCheckBox(QStringLiteral("Convert to HEX string"), gbxOutgoing);
    cbxConvertHEX->setObjectName(QStringLiteral("cbxConvertHEX"));
    edtAutoSuffix = MakeEdit(gbxOutgoing, "edtAutoSuffix");
    auto* suffixNote = MakeLabel(gbxOutgoing, "lblAutoSuffixNote",
                                 QStringLiteral("(Delimit each character with a semicolon. For "
                                                "non-printable characters, put # followed by the "
                                                "ASCII code in decimal number)"));
    suffixNote->setWordWrap(true);
    auto* outgoing = new QVBoxLayout(gbxOutgoing);
    outgoing->addWidget(cbxConvertHEX);
    outgoing->addWidget(MakeLabel(gbxOutgoing, "lblAutoSuffix",
                                  QStringLiteral("Auto-suffix every outgoing string with:"),
                                  edtAutoSuffix));
    outgoing->addWidget(edtAutoSuffix);
    outgoing->addWidget(suffixNote);

    // Auto-send.
    auto* gbxAutoSend = new QGroupBox(QStringLiteral("Auto-Send"), this);
    gbxAutoSend->setObjectName(QStringLiteral("gbxAutoSend"));
    edtAutoSendString = MakeEdit(gbxAutoSend, "edtAutoSendString");
    setAutoSendDelay = new QSpinBox(gbxAutoSend);
    setAutoSendDelay->setObjectName(QStringLiteral("setAutoSendDelay"));
    setAutoSendDelay->setRange(0, 10000);
    setAutoSendDelay->setValue(kDefaultAutoSendInterval);
    auto* autoSend = new QGridLayout(gbxAutoSend);
    autoSend->addWidget(MakeLabel(gbxAutoSend, "lblAutoSendString",
                                  QStringLiteral("Send string repeatedly:"), edtAutoSendString),
                        0, 0, 1, 3);
    autoSend->addWidget(edtAutoSendString, 1, 0, 1, 3);
    autoSend->addWidget(MakeLabel(gbxAutoSend, "lblEvery", QStringLiteral("every"), setAutoSendDelay), 2, 0);
    autoSend->addWidget(setAutoSendDelay, 2, 1);
    autoSend->addWidget(MakeLabel(gbxAutoSend, "lblMs", QStringLiteral("ms")), 2, 2);

    // Remote OPC server tags.
    gbxRemoteOPC = new QGroupBox(QStringLiteral("Remote OPC Server"), this);
    gbxRemoteOPC->setObjectName(QStringLiteral("gbxRemoteOPC"));
    auto* remote = new QGridLayout(gbxRemoteOPC);
    struct TagRow {
        QLineEdit** edit;
        const char* name;
        const char* caption;
        const char* note;
    };
    const TagRow tagRows[] = {
        {&edtReceivedStringTag, "ReceivedStringTag", "Received String Tag:",
         "(Must be string tag, max size 256)"},
        {&edtReceivedFlagTag, "ReceivedFlagTag", "Received Flag Tag:", "(Tag must be bit type)"},
        {&edtSentStringTag, "SentStringTag", "Sent String Tag:", "(Must be string tag, max size 256)"},
        {&edtSentFlagTag, "SentFlagTag", "Sent Flag Tag:", "(Tag must be bit type)"}};
    r = 0;
    for (const TagRow& t : tagRows) {
        const QByteArray name(t.name);
        *t.edit = MakeEdit(gbxRemoteOPC, ("edt" + name).constData());
        remote->addWidget(MakeLabel(gbxRemoteOPC, ("lbl" + name).constData(),
                                    QString::fromLatin1(t.caption), *t.edit),
                          r, 0);
        remote->addWidget(*t.edit, r, 1);
        remote->addWidget(MakeLabel(gbxRemoteOPC, ("lbl" + name + "Note").constData(),
                                    QString::fromLatin1(t.note)),
                          r++, 2);
    }
    gbxRemoteOPC->setEnabled(false);

    bbOK = new QPushButton(QStringLiteral("OK"), this);
    bbOK->setObjectName(QStringLiteral("bbOK"));
    bbOK->setDefault(true);
    bbnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    bbnCancel->setObjectName(QStringLiteral("bbnCancel"));

    auto* left = new QVBoxLayout;
    left->addLayout(portGrid);
    left->addWidget(gbxRemoteOPC);
    left->addStretch();
    auto* right = new QVBoxLayout;
    right->addWidget(gbxIncoming);
    right->addWidget(gbxOutgoing);
    right->addWidget(gbxAutoSend);
    right->addStretch();
    auto* columns = new QHBoxLayout;
    columns->addLayout(left);
    columns->addLayout(right);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(bbOK);
    buttons->addWidget(bbnCancel);
    auto* main = new QVBoxLayout(this);
    main->addLayout(columns);
    main->addLayout(buttons);
    main->setSizeConstraint(QLayout::SetFixedSize);

    connect(cbxPort, &QComboBox::currentIndexChanged, this, [this] { CheckPortInUse(); });
    connect(cbxCharTerminated, &QCheckBox::toggled, this,
            [this](bool ticked) { CharTerminatedToggled(ticked); });
    connect(cbxLog, &QCheckBox::toggled, this, [this] { LogToggled(); });
    connect(bbOK, &QPushButton::clicked, this, &TfrmPortSetting::accept);
    connect(bbnCancel, &QPushButton::clicked, this, &TfrmPortSetting::reject);
}

void TfrmPortSetting::SetPortGrid(const TPortGrid* grid)
{
    grid_ = grid;
}

void TfrmPortSetting::SetRemoteOPC(bool enabled)
{
    remoteOPC_ = enabled;
    gbxRemoteOPC->setEnabled(enabled);
}

void TfrmPortSetting::SetShowMsg(TShowMsgFn showMsg)
{
    showMsg_ = std::move(showMsg);
}

void TfrmPortSetting::SetProgramFolder(std::string folder)
{
    if (!folder.empty() && folder.back() != '/')
        folder.push_back('/');
    programFolder_ = std::move(folder);
}

void TfrmPortSetting::Clear()
{
    filling_ = true;
    editedId_ = 0;
    for (QLineEdit* edit : {edtDescription, edtReceivedStringTag, edtReceivedFlagTag,
                            edtSentStringTag, edtSentFlagTag, edtExtractFromSubString,
                            edtAutoSuffix, edtAutoSendString})
        edit->clear();
    for (QComboBox* box : {cbxPort, cbxBaudRate, cbxDataBits, cbxParity, cbxStopBits, cbxFlowControl})
        box->setCurrentIndex(-1);
    for (QCheckBox* box : {cbxDisabled, cbxConvertHEX, cbxLog, cbxCharTerminated})
        box->setChecked(false);
    CharTerminatedToggled(false);
    setAutoSendDelay->setValue(kDefaultAutoSendInterval);
    lblPortInUse->hide();
    filling_ = false;
}

void TfrmPortSetting::LoadFromRow(const TPortGrid& grid, int row)
{
    const TPortSetting s = grid.RowSetting(row);
    // Start from an unticked log box, so that only a ticked cell announces
    // the log file.
    filling_ = true;
    cbxLog->setChecked(false);
    filling_ = false;

    editedId_ = ParseDecimal(s[psID]).value_or(0);
    edtDescription->setText(QString::fromStdString(s[psDESCRIPTION]));
    SelectText(cbxPort, s[psPORT]);
    SelectText(cbxBaudRate, s[psBAUD_RATE]);
    SelectText(cbxDataBits, s[psDATA_BITS]);
    SelectText(cbxParity, s[psPARITY]);
    SelectText(cbxStopBits, s[psSTOP_BITS]);
    SelectText(cbxFlowControl, s[psFLOW_CONTROL]);
    edtReceivedStringTag->setText(QString::fromStdString(s[psRECEIVED_STRING_TAG]));
    edtReceivedFlagTag->setText(QString::fromStdString(s[psRECEIVED_FLAG_TAG]));
    edtSentStringTag->setText(QString::fromStdString(s[psSENT_STRING_TAG]));
    edtSentFlagTag->setText(QString::fromStdString(s[psSENT_FLAG_TAG]));
    cbxDisabled->setChecked(s.disabled());

    const std::optional<int> terminator = ParseDecimal(s[psNULL_TERMINATED]);
    const bool terminated = terminator && *terminator >= 0;
    cbxCharTerminated->setChecked(terminated);
    CharTerminatedToggled(terminated);
    if (terminated)
        speTerminatingChar->setValue(*terminator);

    edtExtractFromSubString->setText(QString::fromStdString(s[psFROM_SUBSTRING]));
    edtAutoSendString->setText(QString::fromStdString(s[psAUTO_SEND_STRING]));
    setAutoSendDelay->setValue(ParseDecimal(s[psAUTO_SEND_INTERVAL]).value_or(kDefaultAutoSendInterval));
    cbxConvertHEX->setChecked(s.convertHex());
    cbxLog->setChecked(s.logged());
    edtAutoSuffix->setText(QString::fromStdString(SuffixToNotation(s[psAUTO_SUFFIX])));
}

TPortSetting TfrmPortSetting::EnteredSetting() const
{
    TPortSetting s;
    s[psDESCRIPTION] = Text(edtDescription);
    s[psPORT] = Text(cbxPort);
    s[psBAUD_RATE] = Text(cbxBaudRate);
    s[psDATA_BITS] = Text(cbxDataBits);
    s[psPARITY] = Text(cbxParity);
    s[psSTOP_BITS] = Text(cbxStopBits);
    s[psFLOW_CONTROL] = Text(cbxFlowControl);
    s[psRECEIVED_STRING_TAG] = Text(edtReceivedStringTag);
    s[psRECEIVED_FLAG_TAG] = Text(edtReceivedFlagTag);
    s[psSENT_STRING_TAG] = Text(edtSentStringTag);
    s[psSENT_FLAG_TAG] = Text(edtSentFlagTag);
    s[psDISABLED] = cbxDisabled->isChecked() ? "1" : "0";
    s[psNULL_TERMINATED] =
        cbxCharTerminated->isChecked() ? std::to_string(speTerminatingChar->value()) : "-1";
    s[psFROM_SUBSTRING] = Text(edtExtractFromSubString);
    s[psCONVERT_HEX] = cbxConvertHEX->isChecked() ? "1" : "0";
    s[psAUTO_SEND_STRING] = Text(edtAutoSendString);
    s[psAUTO_SEND_INTERVAL] = std::to_string(setAutoSendDelay->value());
    s[psLOGGED] = cbxLog->isChecked() ? "1" : "0";
    s[psAUTO_SUFFIX] = NotationToSuffix(Text(edtAutoSuffix));
    return s;
}

void TfrmPortSetting::StoreToRow(TPortGrid& grid, int row) const
{
    StorePortSettingFields(grid, row, EnteredSetting());
}

void TfrmPortSetting::CheckPortInUse()
{
    bool inUse = false;
    if (grid_ && cbxPort->currentIndex() >= 0) {
        const std::string port = Text(cbxPort);
        for (int row = 1; row < grid_->RowCount() && !inUse; ++row) {
            if (grid_->Cell(psPORT, row) != port || grid_->RowIsEmpty(row))
                continue;
            const std::optional<int> number = ParseDecimal(grid_->Cell(psID, row));
            inUse = !number || *number != editedId_;
        }
    }
    lblPortInUse->setVisible(inUse);
}

void TfrmPortSetting::accept()
{
    if (!RequiredFieldsFilled()) {
        ShowMsg("All setting fields must not be empty!", kMsgWarning, kBtnOk);
        return;
    }
    QDialog::accept();
}

void TfrmPortSetting::showEvent(QShowEvent* event)
{
    CheckPortInUse();
    gbxRemoteOPC->setEnabled(remoteOPC_);
    QDialog::showEvent(event);
}

bool TfrmPortSetting::RequiredFieldsFilled() const
{
    for (const QComboBox* box : {cbxPort, cbxBaudRate, cbxDataBits, cbxParity, cbxStopBits, cbxFlowControl}) {
        if (Text(box).empty())
            return false;
    }
    if (edtDescription->text().isEmpty())
        return false;
    if (!remoteOPC_)
        return true;
    for (const QLineEdit* edit : {edtReceivedStringTag, edtReceivedFlagTag, edtSentStringTag, edtSentFlagTag}) {
        if (edit->text().isEmpty())
            return false;
    }
    return true;
}

int TfrmPortSetting::ShowMsg(const std::string& text, int kind, int buttons)
{
    if (showMsg_)
        return showMsg_(text, kind, buttons);
    return MessageBoxAnswer(this, text, kind, buttons);
}

void TfrmPortSetting::CharTerminatedToggled(bool ticked)
{
    if (!ticked)
        speTerminatingChar->setValue(0);
    speTerminatingChar->setEnabled(ticked);
}

void TfrmPortSetting::LogToggled()
{
    if (filling_)
        return;
    if (cbxPort->currentIndex() < 0) {
        ShowMsg("Please select a Port first!", kMsgWarning, kBtnOk);
        return;
    }
    ShowMsg("Log file will be located at \"" + PortLogFilePath(programFolder_, Text(cbxPort)) + "\"",
            kMsgInformation, kBtnOk);
}

TPortSettingEditor MakeDialogEditor(TfrmPortSetting& dialog, std::function<bool(TfrmPortSetting&)> run)
{
    if (!run)
        run = [](TfrmPortSetting& d) { return d.exec() == QDialog::Accepted; };
    return [&dialog, run = std::move(run)](const TPortGrid& grid, int row, TPortSetting& entered) {
        dialog.SetPortGrid(&grid);
        if (row >= 1)
            dialog.LoadFromRow(grid, row);
        else
            dialog.Clear();
        if (!run(dialog))
            return false;
        entered = dialog.EnteredSetting();
        return true;
    };
}
