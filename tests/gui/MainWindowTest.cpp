#include "Main.h"

#include "ControllerFixture.h"
#include "MessageBoxes.h"
#include "PlugImage.h"

#include <QAbstractButton>
#include <QDir>
#include <QCheckBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QSystemTrayIcon>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include <unistd.h>

#include <algorithm>

namespace {

class MainWindow : public ControllerFixture {
protected:
    TfrmMain& Open()
    {
        Make(false);
        window = std::make_unique<TfrmMain>(*controller);
        controller->Create();
        controller->StartTimer().stop();
        window->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        return *window;
    }
    template <typename T> T* Find(const char* name) { return window->findChild<T*>(name); }
    // Saves "Hide on Startup" and starts again: a new controller and window,
    // created, the window not shown yet.
    void RestartWithHideOnStartup()
    {
        window.reset();
        controller->Controls().hideOnStartup = true;
        controller->ConfirmPassword() = controller->Controls().password;
        ASSERT_TRUE(controller->Save());
        controller.reset();
        Make(false);
        window = std::make_unique<TfrmMain>(*controller);
        controller->Create();
    }
    // Out of the way as "Hide" puts it: hidden in the tray, or minimised on
    // a desktop without one.
    bool PutAway() const
    {
        return QSystemTrayIcon::isSystemTrayAvailable() ? !window->isVisible()
                                                        : window->isVisible() && window->isMinimized();
    }
    void TearDown() override
    {
        window.reset();
        ControllerFixture::TearDown();
    }
    std::unique_ptr<TfrmMain> window;
};

} // namespace

TEST_F(MainWindow, LayoutCaptionsAndGridColumns)
{
    TfrmMain& w = Open();
    EXPECT_EQ(w.windowTitle(), "Quorbel Linvaro");
    EXPECT_EQ(w.size(), QSize(688, 566));
    ASSERT_EQ(w.Pages()->count(), 2);
    EXPECT_EQ(w.Pages()->tabText(0), "Monitor");
    EXPECT_EQ(w.Pages()->tabText(1), "Port Settings");
    EXPECT_EQ(w.Pages()->currentIndex(), 0);
    QTableWidget* grid = w.GridView();
    ASSERT_EQ(grid->columnCount(), 22);
    EXPECT_EQ(grid->horizontalHeaderItem(13)->text(), "Incoming String Terminating Char");
    EXPECT_EQ(grid->horizontalHeaderItem(21)->text(), "Current Tag Value");
    EXPECT_EQ(grid->horizontalHeader()->sectionSize(0), 2);
    EXPECT_EQ(grid->horizontalHeader()->sectionSize(1), 129);
    EXPECT_EQ(grid->horizontalHeader()->sectionSize(16), 162);
    EXPECT_EQ(grid->horizontalHeader()->sectionSize(17), 2);
    EXPECT_EQ(Find<QPushButton>("bbnStart")->toolTip(), "Start Scanning");
    EXPECT_EQ(Find<QPushButton>("bbnStop")->toolTip(), "Stop Scanning");
    EXPECT_EQ(Find<QPushButton>("bbnSave")->toolTip(), "Save all");
    EXPECT_EQ(Find<QPushButton>("bbClose")->text(), "E&xit");
    EXPECT_EQ(Find<QPushButton>("bbnHide")->toolTip(), "Hide to Task Tray");
    EXPECT_FALSE(Find<QCheckBox>("cbxLoadOnStartup")->isVisible());
    EXPECT_EQ(Find<QSpinBox>("setPortResponseTimeout")->maximum(), 99999);
    EXPECT_EQ(Find<QSpinBox>("setPortResponseTimeout")->value(), 5000);
    EXPECT_EQ(Find<QSpinBox>("setTagResponseTimeout")->maximum(), 999);
    EXPECT_EQ(w.Tray()->toolTip(), "Quorbel Linvaro");
}

TEST_F(MainWindow, StartAndStopSwitchButtonsTrayAndPulse)
{
    TfrmMain& w = Open();
    auto* start = Find<QPushButton>("bbnStart");
    auto* stop = Find<QPushButton>("bbnStop");
    EXPECT_TRUE(start->isEnabled());
    EXPECT_FALSE(stop->isEnabled());
    EXPECT_EQ(w.TrayImage(), 0);
    QTest::mouseClick(start, Qt::LeftButton);
    EXPECT_TRUE(Logged("All enabled ports successfully started!")) << "an empty list starts trivially";
    EXPECT_FALSE(start->isEnabled());
    EXPECT_TRUE(stop->isEnabled());
    EXPECT_EQ(w.TrayImage(), 1);
    EXPECT_TRUE(controller->Pulses().isActive());
    QTest::mouseClick(stop, Qt::LeftButton);
    EXPECT_TRUE(start->isEnabled());
    EXPECT_EQ(w.TrayImage(), 0);
    EXPECT_FALSE(controller->Pulses().isActive());
}

TEST_F(MainWindow, MonitorShowsTheActivityLogAndClearEmptiesIt)
{
    Open();
    auto* memo = Find<QPlainTextEdit>("mmoLog");
    EXPECT_TRUE(memo->toPlainText().contains("Settings loaded."));
    QTest::mouseClick(Find<QPushButton>("BitBtn2"), Qt::LeftButton);
    EXPECT_TRUE(memo->toPlainText().isEmpty());
}

TEST_F(MainWindow, OnlyTimeoutsRemoteBoxAndServerNameMarkSettingsModified)
{
    Open();
    QTest::mouseClick(Find<QCheckBox>("cbxLogEvent"), Qt::LeftButton);
    QTest::mouseClick(Find<QCheckBox>("cbxHideOnStartup"), Qt::LeftButton);
    QTest::mouseClick(Find<QCheckBox>("cbxProtectSettings"), Qt::LeftButton);
    EXPECT_FALSE(controller->SettingsModifiedFlag());
    EXPECT_TRUE(Find<QLineEdit>("edtPassword")->isEnabled()) << "protect box rule";
    EXPECT_FALSE(Find<QSpinBox>("setPortResponseTimeout")->isEnabled()) << "remote box rule";
    Find<QSpinBox>("setPortResponseTimeout")->setValue(7000);
    EXPECT_TRUE(controller->SettingsModifiedFlag());
    EXPECT_EQ(controller->Controls().portResponseTimeout, 7000);
    EXPECT_EQ(controller->Effective().portResponseTimeout, 5000) << "process-wide value changes at the next load";
}

TEST_F(MainWindow, TickingRemoteWhileVisibleTellsToRestart)
{
    Open();
    QTest::mouseClick(Find<QCheckBox>("cbxEnableRemoteOPC"), Qt::LeftButton);
    EXPECT_TRUE(boxes.Shown("You must restart Linvaro in order for the Remote OPC Server setting to be effective!"));
    EXPECT_TRUE(Find<QSpinBox>("setPortResponseTimeout")->isEnabled());
    EXPECT_FALSE(Find<QPushButton>("bbnLocalOPCServer")->isEnabled());
    EXPECT_TRUE(controller->SettingsModifiedFlag());
}

TEST_F(MainWindow, PasswordPromptGuardsThePortSettingsPage)
{
    TfrmMain& w = Open();
    w.Pages()->setCurrentIndex(1);
    EXPECT_EQ(w.Pages()->currentIndex(), 1) << "no protection: the page opens";
    w.Pages()->setCurrentIndex(0);

    controller->Controls().protectSettings = true;
    controller->Controls().password = "pw";
    controller->ConfirmPassword() = "pw";
    ASSERT_TRUE(controller->Save());
    int asked = 0;
    bool accept = false;
    w.passwordRunner = [&] {
        ++asked;
        return accept;
    };
    w.Pages()->setCurrentIndex(1);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(w.Pages()->currentIndex(), 0) << "a wrong password or Cancel returns to Monitor";
    accept = true;
    w.Pages()->setCurrentIndex(1);
    EXPECT_EQ(w.Pages()->currentIndex(), 1);
}

TEST_F(MainWindow, RealPasswordDialogAcceptsTheExactPassword)
{
    TfrmMain& w = Open();
    controller->Controls().protectSettings = true;
    controller->Controls().password = "Sesame";
    controller->ConfirmPassword() = "Sesame";
    ASSERT_TRUE(controller->Save());
    QTimer::singleShot(0, [] {
        QWidget* dialog = QApplication::activeModalWidget();
        ASSERT_NE(dialog, nullptr);
        auto* field = dialog->findChild<QLineEdit*>("Password");
        QTest::keyClicks(field, "Sesame");
        QTest::keyClick(field, Qt::Key_Return);
    });
    w.Pages()->setCurrentIndex(1);
    EXPECT_EQ(w.Pages()->currentIndex(), 1);
}

TEST_F(MainWindow, ExitButtonAsksAndCancelKeepsTheProgram)
{
    TfrmMain& w = Open();
    bool closed = false;
    QObject::connect(controller.get(), &MainController::closing, [&] { closed = true; });
    boxes.answers = {2};
    QTest::mouseClick(Find<QPushButton>("bbClose"), Qt::LeftButton);
    EXPECT_TRUE(boxes.Shown("Are you sure to exit Quorbel Linvaro?"));
    EXPECT_FALSE(closed);
    EXPECT_TRUE(w.isVisible());
}

TEST_F(MainWindow, ExitMessageClosesWithoutAsking)
{
    TfrmMain& w = Open();
    bool closed = false;
    QObject::connect(controller.get(), &MainController::closing, [&] { closed = true; });
    w.CloseFromExitMessage();
    EXPECT_TRUE(closed);
    EXPECT_FALSE(boxes.Shown("Are you sure to exit Quorbel Linvaro?"));
    EXPECT_FALSE(w.isVisible());
}

TEST_F(MainWindow, HidingAndShowingResetsTheSelectedRowToOne)
{
    TfrmMain& w = Open();
    PutRow(1, "1", "A", "COM1");
    PutRow(2, "2", "B", "COM2");
    ASSERT_TRUE(controller->Save());
    w.GridView()->setCurrentCell(1, 1);
    EXPECT_EQ(controller->SelectedRow(), 2);
    QTest::mouseClick(Find<QPushButton>("bbnHide"), Qt::LeftButton);
    EXPECT_TRUE(PutAway());
    w.hide();
    w.show();
    EXPECT_EQ(controller->SelectedRow(), 1);
}

TEST_F(MainWindow, PortListCommandsEditTheGridAndMarkItModified)
{
    TfrmMain& w = Open();
    w.portEditor = [](const TPortGrid&, int, TPortSetting& entered) {
        const char* values[psFieldCount] = {"", "New Port", "COM7", "9600", "8", "None", "1", "None", "", "", "", "",
                                            "0", "13", "", "0", "", "100", "0", "\r"};
        for (int c = 0; c < psFieldCount; ++c)
            entered.fields[static_cast<std::size_t>(c)] = values[c];
        return true;
    };
    w.NewPort();
    EXPECT_TRUE(controller->SettingsModifiedFlag());
    EXPECT_EQ(controller->Grid().Cell(psDESCRIPTION, 1), "New Port");
    EXPECT_EQ(controller->Grid().Cell(psID, 1), "1");
    EXPECT_EQ(w.GridView()->item(0, 1)->text(), "New Port") << "the view follows the model";
    controller->SetSettingsModified(false);
    boxes.answers = {6};
    w.DeletePort();
    EXPECT_TRUE(boxes.Shown("Are you sure to delete Port Setting for COM7?"));
    EXPECT_TRUE(controller->SettingsModifiedFlag());
    EXPECT_TRUE(controller->Grid().RowIsEmpty(1));
}

TEST_F(MainWindow, SimulateOnADisabledRowDoesNothing)
{
    TfrmMain& w = Open();
    PutRow(1, "1", "A", "COM1", "1");
    PutRow(2, "2", "B", "COM2");
    ASSERT_TRUE(controller->Save());
    int shown = 0;
    w.simulateRunner = [&](const QString& tag, QString& text) {
        ++shown;
        EXPECT_EQ(tag, "B_COM2");
        text = "42";
        return true;
    };
    controller->SetSelectedRow(1);
    w.SimulateSelected();
    EXPECT_EQ(shown, 0);
    controller->SetSelectedRow(2);
    w.SimulateSelected();
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(w.GridView()->item(1, 21)->text(), "42");
}

TEST_F(MainWindow, HideOnStartupHidesTheWindowAfterItWasFirstShown)
{
    Make(false);
    controller->Create();
    ASSERT_NO_FATAL_FAILURE(RestartWithHideOnStartup());
    window->show();
    ASSERT_TRUE(WaitFor([&] { return !controller->StartupPhase(); }));
    EXPECT_TRUE(PutAway());
}

// On a desktop without a system tray (the offscreen platform has none, as
// the default GNOME has none) a hidden window could never be brought back:
// "Hide" and "Hide on Startup" minimise it instead, and it can be minimised.
TEST_F(MainWindow, WithoutATrayHideMinimisesTheWindow)
{
    if (QSystemTrayIcon::isSystemTrayAvailable())
        GTEST_SKIP() << "this desktop has a system tray";
    TfrmMain& w = Open();
    EXPECT_TRUE(w.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    QTest::mouseClick(Find<QPushButton>("bbnHide"), Qt::LeftButton);
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(w.isMinimized());

    ASSERT_NO_FATAL_FAILURE(RestartWithHideOnStartup());
    window->ShowAtStartup();
    EXPECT_FALSE(controller->StartupPhase());
    EXPECT_TRUE(window->isVisible()) << "reachable from the task bar";
    EXPECT_TRUE(window->isMinimized());
}

// An "Exit" message that arrives while the exit question is open (a real
// modal box) answers it: the program closes without a second question.
TEST_F(MainWindow, ExitMessageWhileTheExitQuestionIsOpenCloses)
{
    TfrmMain& w = Open();
    libs.gn.SetMsgHandler(&ShowModalMessageBox, nullptr);
    bool closed = false;
    QObject::connect(controller.get(), &MainController::closing, [&] { closed = true; });
    bool questionOpen = false;
    QTimer::singleShot(100, &w, [&] {
        questionOpen = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()) != nullptr;
        w.CloseFromExitMessage();
    });
    // Without the answer the box would stay open: a user's Cancel ends the
    // test instead of hanging it.
    QTimer::singleShot(5000, [] {
        if (QWidget* box = QApplication::activeModalWidget())
            box->close();
    });
    QTest::mouseClick(Find<QPushButton>("bbClose"), Qt::LeftButton);
    libs.gn.SetMsgHandler(&ScriptedBoxes::Answer, &boxes);
    EXPECT_TRUE(questionOpen);
    EXPECT_TRUE(closed);
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

// The adapter behind a stable device path (as /dev/serial/by-id/... is) is
// pulled and plugged in again while scanning: the port's value cell says so,
// then shows the tag's value again; the neighbouring port is left alone.
TEST_F(MainWindow, ValueCellShowsALostDeviceUntilItIsBack)
{
    const std::string link = home.path().toStdString() + "/ttyUSB-scale";
    ASSERT_EQ(::symlink(ptys[0].slavePath().c_str(), link.c_str()), 0);
    TCommPortDriver::SetDeviceNameResolver([this, link](const std::string& com) -> std::string {
        return com == "COM1" ? link : com == "COM2" ? ptys[1].slavePath() : std::string();
    });
    TfrmMain& w = Open();
    PutRow(1, "1", "Scale", "COM1");
    PutRow(2, "2", "Reader", "COM2");
    ASSERT_TRUE(controller->Save());
    QTest::mouseClick(Find<QPushButton>("bbnStart"), Qt::LeftButton);
    // Rows come back in the store's order; find them by description.
    const auto cell = [&](const char* description) {
        QTableWidget* grid = w.GridView();
        for (int r = 0; r < grid->rowCount(); ++r)
            if (grid->item(r, 1) && grid->item(r, 1)->text() == description)
                return grid->item(r, 21)->text().toStdString();
        return std::string("<no row>");
    };
    ASSERT_TRUE(ptys[0].write("1.0\r"));
    ASSERT_TRUE(ptys[1].write("R1\r"));
    ASSERT_TRUE(WaitFor([&] { return cell("Scale") == "1.0" && cell("Reader") == "R1"; }));

    ptys[0].closeMaster();
    ::unlink(link.c_str());
    ASSERT_TRUE(WaitFor([&] { return cell("Scale") == "<device lost>"; }));
    EXPECT_EQ(cell("Reader"), "R1");
    EXPECT_TRUE(Find<QPushButton>("bbnStop")->isEnabled()) << "scanning goes on";

    PtyPair fresh;
    ASSERT_EQ(::symlink(fresh.slavePath().c_str(), link.c_str()), 0);
    ASSERT_TRUE(WaitFor([&] { return cell("Scale") == "1.0"; }, 5000)) << "the last value is shown again";
    ASSERT_TRUE(fresh.write("2.0\r"));
    EXPECT_TRUE(WaitFor([&] { return cell("Scale") == "2.0"; }));

    // Stopping while the device is gone does not leave the mark behind.
    fresh.closeMaster();
    ::unlink(link.c_str());
    ASSERT_TRUE(WaitFor([&] { return cell("Scale") == "<device lost>"; }));
    QTest::mouseClick(Find<QPushButton>("bbnStop"), Qt::LeftButton);
    EXPECT_EQ(cell("Scale"), "2.0");
}

TEST_F(MainWindow, WindowShowsTheProgramIconInEveryThemeSize)
{
    TfrmMain& w = Open();
    const QIcon icon = w.windowIcon();
    ASSERT_FALSE(icon.isNull());
    for (const int size : kProgramIconSizes) {
        const QImage image = icon.pixmap(size, size).toImage();
        EXPECT_EQ(image.size(), QSize(size, size)) << size;
        // The green plug of a running port list, on a transparent square.
        const QColor body = image.pixelColor(size / 2, size / 2);
        EXPECT_GT(body.green(), body.red() + 60) << size;
        EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0) << size;
    }
    const QColor stopped = PlugImage(false, 48).pixelColor(24, 24);
    EXPECT_EQ(stopped.red(), stopped.green()) << "the tray's stopped plug is grey";
}

// A database that cannot be opened at start: after the retry time the
// window shows why and offers to try again; Yes starts another round.
TEST_F(MainWindow, UnopenableDatabaseIsShownWithAnOfferToTryAgain)
{
    ASSERT_TRUE(QDir().mkpath(home.path() + "/LINVARO.GDB"));
    Make(false, 300, 100);
    window = std::make_unique<TfrmMain>(*controller);
    controller->Create();
    boxes.answers = {6, 7}; // Yes, then No
    const auto offers = [&] {
        return std::count_if(boxes.shown.begin(), boxes.shown.end(), [](const ScriptedBoxes::Box& b) {
            return b.text.find("LINVARO.GDB") != std::string::npos && b.text.find("Try again?") != std::string::npos &&
                   b.buttons == 3;
        });
    };
    ASSERT_TRUE(WaitFor([&] { return offers() == 2; }, 10000));
    ServeEventsFor(500);
    EXPECT_EQ(offers(), 2) << "No ends the offers";
    EXPECT_FALSE(controller->DatabaseConnected());
}
