#include "PortSetting.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Fields = std::array<std::string, psFieldCount>;

const Fields kScale = {"2", "Scale", "COM3", "9600", "8", "None", "1", "Xon / Xoff", "RS", "RF",
                       "SS", "SF", "1", "13", "STX", "1", "PING", "250", "0", "\r\n"};

struct Msg {
    std::string text;
    int kind;
    int buttons;
    bool operator==(const Msg&) const = default;
};

// A dialog over a grid of: row 1 COM1, row 2 `setting` (COM3 by default),
// row 3 on COM5 without "No.", with messages recorded instead of shown.
struct Harness {
    TPortGrid grid;
    TfrmPortSetting dlg;
    std::vector<Msg> msgs;

    explicit Harness(const Fields& setting = kScale)
    {
        grid.SetRowCount(4);
        grid.SetCell(psID, 1, "1");
        grid.SetCell(psPORT, 1, "COM1");
        TPortSetting s;
        s.fields = setting;
        grid.SetRowSetting(2, s);
        grid.SetCell(psPORT, 3, "COM5");
        dlg.SetPortGrid(&grid);
        dlg.SetProgramFolder("/opt/linvaro");
        dlg.SetShowMsg([this](const std::string& text, int kind, int buttons) {
            msgs.push_back({text, kind, buttons});
            return 1;
        });
    }

    template <class T>
    T* find(const char* name)
    {
        T* child = dlg.findChild<T*>(QString::fromLatin1(name));
        if (!child)
            throw std::runtime_error(std::string("no control ") + name);
        return child;
    }
    QComboBox* list(const char* name) { return find<QComboBox>(name); }
    QLineEdit* edit(const char* name) { return find<QLineEdit>(name); }
    QCheckBox* box(const char* name) { return find<QCheckBox>(name); }
    QSpinBox* spin(const char* name) { return find<QSpinBox>(name); }
    void choosePort(const char* port) { list("cbxPort")->setCurrentIndex(list("cbxPort")->findText(port)); }
    bool portInUseShown() { return !find<QLabel>("lblPortInUse")->isHidden(); }
};

const char* const kLists[] = {"cbxPort", "cbxBaudRate", "cbxDataBits", "cbxParity", "cbxStopBits",
                              "cbxFlowControl"};
const char* const kTagEdits[] = {"edtReceivedStringTag", "edtReceivedFlagTag", "edtSentStringTag",
                                 "edtSentFlagTag"};

TEST(PortSettingDialog, StartsWithNothingSelected)
{
    Harness h;
    EXPECT_EQ(h.dlg.windowTitle(), "Port Setting");
    QComboBox* port = h.list("cbxPort");
    ASSERT_EQ(port->count(), 500);
    EXPECT_EQ(port->itemText(0), "COM1");
    EXPECT_EQ(port->itemText(499), "COM500");
    for (const char* name : kLists) {
        EXPECT_FALSE(h.list(name)->isEditable()) << name;
        EXPECT_EQ(h.list(name)->currentIndex(), -1) << name;
    }
    EXPECT_TRUE(h.box("cbxLog")->isHidden());
    EXPECT_FALSE(h.portInUseShown());
    EXPECT_EQ(h.spin("setAutoSendDelay")->value(), 100);
    EXPECT_EQ(h.spin("setAutoSendDelay")->maximum(), 10000);
}

struct PortCase {
    const char* name;
    int editedRow; // 0: a new setting
    const char* port;
    bool inUse;
};

void PrintTo(const PortCase& c, std::ostream* os)
{
    *os << c.name;
}

class PortInUse : public ::testing::TestWithParam<PortCase> {};

TEST_P(PortInUse, WarnsOnlyAboutOtherNumberedRows)
{
    Harness h;
    if (GetParam().editedRow)
        h.dlg.LoadFromRow(h.grid, GetParam().editedRow);
    else
        h.dlg.Clear();
    h.choosePort(GetParam().port);
    EXPECT_EQ(h.portInUseShown(), GetParam().inUse);
    h.choosePort("COM4"); // a free port clears the warning
    EXPECT_FALSE(h.portInUseShown());
}

INSTANTIATE_TEST_SUITE_P(Ports, PortInUse,
                         ::testing::Values(PortCase{"NewOnUsedPort", 0, "COM3", true},
                                           PortCase{"NewOnFreePort", 0, "COM2", false},
                                           PortCase{"EditKeepsOwnPort", 2, "COM3", false},
                                           PortCase{"EditTakesOtherRowsPort", 2, "COM1", true},
                                           PortCase{"RowWithoutNumber", 0, "COM5", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PortSettingDialog, ChecksThePortAndRemoteStateWhenShown)
{
    for (bool remote : {false, true}) {
        Harness h;
        h.dlg.SetPortGrid(nullptr);
        h.dlg.Clear();
        h.choosePort("COM1");
        EXPECT_FALSE(h.portInUseShown());
        h.dlg.SetPortGrid(&h.grid);
        h.dlg.SetRemoteOPC(remote);
        h.dlg.show();
        EXPECT_TRUE(h.portInUseShown());
        EXPECT_EQ(h.find<QGroupBox>("gbxRemoteOPC")->isEnabled(), remote);
        for (const char* name : kTagEdits)
            EXPECT_EQ(h.edit(name)->isEnabled(), remote) << name;
        h.dlg.reject();
    }
}

TEST(PortSettingDialog, TerminatedWithCharEnablesTheCodeAndUntickingResetsIt)
{
    Harness h;
    h.dlg.Clear();
    QCheckBox* ticked = h.box("cbxCharTerminated");
    QSpinBox* code = h.spin("speTerminatingChar");
    EXPECT_FALSE(code->isEnabled());
    ticked->click();
    EXPECT_TRUE(code->isEnabled());
    code->setValue(13);
    ticked->click();
    EXPECT_FALSE(code->isEnabled());
    EXPECT_EQ(code->value(), 0);
    EXPECT_EQ(h.dlg.EnteredSetting()[psNULL_TERMINATED], "-1");
}

TEST(PortSettingDialog, TerminatingCharTakesDigitsOnlyAndCapsAt255)
{
    Harness h;
    h.dlg.Clear();
    h.dlg.show();
    h.box("cbxCharTerminated")->click();
    QSpinBox* code = h.spin("speTerminatingChar");
    code->setValue(13);
    for (char key : {'a', 'Z', '+', '-', ' ', '.'}) {
        code->selectAll();
        QTest::keyClick(code, key);
        EXPECT_EQ(code->text(), "13") << key;
    }
    code->selectAll();
    QTest::keyClick(code, Qt::Key_Backspace);
    EXPECT_EQ(code->text(), "");
    QTest::keyClicks(code, "999");
    EXPECT_EQ(code->text(), "255");
    EXPECT_EQ(code->value(), 255);
    h.dlg.reject();
}

struct OkCase {
    const char* name;
    bool remote;
    std::vector<const char*> emptied; // controls cleared or unselected before OK
    bool accepted;
};

TEST(PortSettingDialog, OkRequiresTheSettingFields)
{
    const std::vector<OkCase> cases = {
        {"Complete", false, {}, true},
        {"CompleteRemote", true, {}, true},
        {"LocalWithoutTags", false, {kTagEdits[0], kTagEdits[1], kTagEdits[2], kTagEdits[3]}, true},
        {"OptionalFieldsEmpty", true, {"edtExtractFromSubString", "edtAutoSendString", "edtAutoSuffix"}, true},
        {"RemoteWithoutSentFlag", true, {"edtSentFlagTag"}, false},
        {"RemoteWithoutReceivedString", true, {"edtReceivedStringTag"}, false},
        {"NoDescription", false, {"edtDescription"}, false},
        {"NoPort", false, {"cbxPort"}, false},
        {"NoBaudRate", false, {"cbxBaudRate"}, false},
        {"NoDataBits", false, {"cbxDataBits"}, false},
        {"NoParity", false, {"cbxParity"}, false},
        {"NoStopBits", false, {"cbxStopBits"}, false},
        {"NoFlowControl", false, {"cbxFlowControl"}, false}};
    for (const OkCase& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.dlg.LoadFromRow(h.grid, 2);
        h.dlg.SetRemoteOPC(c.remote);
        for (const char* name : c.emptied) {
            if (std::string_view(name).starts_with("cbx"))
                h.list(name)->setCurrentIndex(-1);
            else
                h.edit(name)->clear();
        }
        h.dlg.show();
        QTest::mouseClick(h.find<QPushButton>("bbOK"), Qt::LeftButton);
        if (c.accepted) {
            EXPECT_TRUE(h.msgs.empty());
            EXPECT_EQ(h.dlg.result(), QDialog::Accepted);
            EXPECT_FALSE(h.dlg.isVisible());
        } else {
            EXPECT_EQ(h.msgs, (std::vector<Msg>{{"All setting fields must not be empty!", 0, 4}}));
            EXPECT_NE(h.dlg.result(), QDialog::Accepted);
            EXPECT_TRUE(h.dlg.isVisible());
            h.dlg.reject();
        }
    }
}

class Transfer : public ::testing::TestWithParam<Fields> {};

TEST_P(Transfer, EditFillThenStoreGivesTheRowBack)
{
    Harness h(GetParam());
    h.dlg.LoadFromRow(h.grid, 2);
    EXPECT_EQ(h.dlg.EditedID(), 2);

    TPortGrid out;
    out.SetRowCount(3);
    out.SetCell(psID, 2, "7");
    out.SetCell(TPortGrid::kTagNameColumn, 2, "Old_COM9");
    h.dlg.StoreToRow(out, 2);
    for (int c = psDESCRIPTION; c < psFieldCount; ++c)
        EXPECT_EQ(out.Cell(c, 2), GetParam()[static_cast<std::size_t>(c)]) << kPortSettingColumns[c];
    EXPECT_EQ(out.Cell(psID, 2), "7");
    EXPECT_EQ(out.Cell(TPortGrid::kTagNameColumn, 2), "Old_COM9");
    EXPECT_EQ(out.RowCount(), 3);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Transfer,
    ::testing::Values(kScale,
                      Fields{"2", "Gate", "COM500", "256000", "5", "Space", "1.5", "None", "", "", "",
                             "", "0", "-1", "", "0", "", "0", "1", "\xc8#"},
                      Fields{"2", "Zero", "COM1", "110", "7", "Mark", "2", "None", "a b", "", "", "",
                             "0", "0", "", "0", "", "10000", "0", ""}));

TEST(PortSettingDialog, CellsOutsideTheListsFillNothing)
{
    Harness h(Fields{"2", "Odd", "COM0", "9601", "9", "none", "3", "Hardware", "", "", "", "",
                     "yes", "x", "", "true", "", "soon", "0", ""});
    h.dlg.LoadFromRow(h.grid, 2);
    for (const char* name : kLists)
        EXPECT_EQ(h.list(name)->currentIndex(), -1) << name;
    EXPECT_FALSE(h.box("cbxDisabled")->isChecked());
    EXPECT_FALSE(h.box("cbxConvertHEX")->isChecked());
    EXPECT_FALSE(h.box("cbxCharTerminated")->isChecked());
    EXPECT_FALSE(h.spin("speTerminatingChar")->isEnabled());
    EXPECT_EQ(h.spin("setAutoSendDelay")->value(), 100);

    const TPortSetting s = h.dlg.EnteredSetting();
    for (int c : {psPORT, psBAUD_RATE, psDATA_BITS, psPARITY, psSTOP_BITS, psFLOW_CONTROL})
        EXPECT_EQ(s.fields[static_cast<std::size_t>(c)], "") << kPortSettingColumns[c];
    EXPECT_EQ(s[psDISABLED], "0");
    EXPECT_EQ(s[psNULL_TERMINATED], "-1");
    EXPECT_EQ(s[psCONVERT_HEX], "0");
    EXPECT_EQ(s[psAUTO_SEND_INTERVAL], "100");
}

TEST(PortSettingDialog, ClearGivesAnEmptyNewSettingWithoutMessages)
{
    Fields logged = kScale;
    logged[psLOGGED] = "1";
    Harness h(logged);
    h.dlg.LoadFromRow(h.grid, 2);
    ASSERT_EQ(h.msgs.size(), 1u);
    h.dlg.Clear();
    EXPECT_EQ(h.msgs.size(), 1u);
    EXPECT_EQ(h.dlg.EditedID(), 0);
    Fields expected{};
    expected[psDISABLED] = expected[psCONVERT_HEX] = expected[psLOGGED] = "0";
    expected[psNULL_TERMINATED] = "-1";
    expected[psAUTO_SEND_INTERVAL] = "100";
    EXPECT_EQ(h.dlg.EnteredSetting().fields, expected);
}

TEST(PortSettingDialog, TickingTheLogBoxTellsWhereTheLogFileLies)
{
    struct Case {
        const char* port;
        const char* logged;
        std::vector<Msg> msgs;
    };
    const Case cases[] = {
        {"COM3", "1", {{"Log file will be located at \"/opt/linvaro/COM3.log\"", 2, 4}}},
        {"COMX", "1", {{"Please select a Port first!", 0, 4}}},
        {"COM3", "0", {}}};
    for (const Case& c : cases) {
        Fields row = kScale;
        row[psPORT] = c.port;
        row[psLOGGED] = c.logged;
        Harness h(row);
        h.dlg.LoadFromRow(h.grid, 2);
        EXPECT_EQ(h.msgs, c.msgs) << c.port << " logged " << c.logged;
        EXPECT_EQ(h.dlg.EnteredSetting()[psLOGGED], c.logged);
    }

    // One dialog used for several Edits: filling from an unlogged row says
    // nothing, and each logged row says it again.
    Fields row = kScale;
    row[psLOGGED] = "1";
    Harness h(row);
    for (int r : {2, 1, 2})
        h.dlg.LoadFromRow(h.grid, r);
    EXPECT_EQ(h.msgs.size(), 2u);
}

TEST(PortSettingDialog, DrivesNewAndEditThroughTheDialog)
{
    TPortGrid grid;
    TfrmPortSetting dlg;
    dlg.SetShowMsg([](const std::string& text, int, int) {
        ADD_FAILURE() << "unexpected message: " << text;
        return 1;
    });
    int shown = 0;
    std::function<void(TfrmPortSetting&)> act;
    const TPortSettingEditor editor = MakeDialogEditor(dlg, [&](TfrmPortSetting& d) {
        ++shown;
        act(d);
        return d.result() == QDialog::Accepted;
    });
    auto find = [&dlg](const char* name) { return dlg.findChild<QWidget*>(QString::fromLatin1(name)); };

    act = [&](TfrmPortSetting& d) {
        EXPECT_EQ(d.EditedID(), 0);
        static_cast<QLineEdit*>(find("edtDescription"))->setText("Scale");
        for (const char* name : kLists)
            static_cast<QComboBox*>(find(name))->setCurrentIndex(1);
        QTest::keyClicks(find("edtAutoSuffix"), "#13;#10");
        static_cast<QPushButton*>(find("bbOK"))->click();
    };
    ASSERT_TRUE(PortListNew(grid, editor));
    EXPECT_EQ(grid.RowCount(), 2);
    EXPECT_EQ(grid.Cell(psID, 1), "1");
    EXPECT_EQ(grid.Cell(psPORT, 1), "COM2");
    EXPECT_EQ(grid.Cell(psAUTO_SUFFIX, 1), "\r\n");

    const TPortSetting before = grid.RowSetting(1);
    act = [&](TfrmPortSetting& d) {
        EXPECT_EQ(d.EditedID(), 1);
        EXPECT_EQ(static_cast<QLineEdit*>(find("edtAutoSuffix"))->text(), "#13;#10");
        static_cast<QLineEdit*>(find("edtDescription"))->setText("Other");
        static_cast<QPushButton*>(find("bbnCancel"))->click();
    };
    EXPECT_FALSE(PortListEdit(grid, 1, editor));
    EXPECT_EQ(grid.RowSetting(1).fields, before.fields);

    act = [&](TfrmPortSetting& d) {
        static_cast<QLineEdit*>(find("edtDescription"))->setText("Other");
        d.accept();
    };
    EXPECT_TRUE(PortListEdit(grid, 1, editor));
    EXPECT_EQ(grid.Cell(psDESCRIPTION, 1), "Other");
    EXPECT_EQ(grid.Cell(psID, 1), "1");
    EXPECT_EQ(shown, 3);
}

} // namespace
