// The main window's "Browse Server" and "Local OPC Server" buttons open the
// selection dialog and the console (offscreen).
#include "Main.h"

#include "ControllerFixture.h"
#include "TempRoots.h"

#include "OPCDA.h"
#include "RegistryStore.h"
#include "ServerBrowser.h"
#include "opcSvConsole.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

namespace {

class MainWindowButtons : public ControllerFixture {
protected:
    void SetUp() override
    {
        ControllerFixture::SetUp();
        for (auto [n, progId] : {std::pair{1, "Remote.Server.1"}, std::pair{2, "Another.Server"}}) {
            const GUID clsid = MakeGuid(static_cast<std::uint32_t>(n), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
            ASSERT_TRUE(registry::SetDefault("CLSID\\" + GuidToString(clsid) + "\\ProgID", progId));
            ASSERT_TRUE(registry::RegisterClassImplCategory(clsid, CATID_OPCDAServer20));
        }
        Make(false);
        window = std::make_unique<TfrmMain>(*controller);
        controller->Create();
        controller->StartTimer().stop();
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
    void TearDown() override
    {
        window.reset();
        ControllerFixture::TearDown();
    }
    // Remote mode ticked: the browse button is usable.
    void TickRemote()
    {
        QTest::mouseClick(window->findChild<QCheckBox*>("cbxEnableRemoteOPC"), Qt::LeftButton);
        ASSERT_TRUE(window->findChild<QCheckBox*>("cbxEnableRemoteOPC")->isChecked());
        ASSERT_TRUE(window->findChild<QPushButton*>("bbnBrowseServer")->isEnabled());
        controller->SetSettingsModified(false);
    }
    // Clicks a button whose dialog is modal; act runs on the open dialog.
    template <typename D> bool ClickWithDialog(const char* button, std::function<void(D&)> act)
    {
        bool seen = false;
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<D*>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            seen = true;
            act(*dialog);
        });
        QTest::mouseClick(window->findChild<QPushButton*>(button), Qt::LeftButton);
        return seen;
    }

    TempRoots roots;
    std::unique_ptr<TfrmMain> window;
};

} // namespace

TEST_F(MainWindowButtons, TheChosenServerGoesIntoTheServerNameField)
{
    TickRemote();
    ASSERT_TRUE(ClickWithDialog<TfrmSelectServer>("bbnBrowseServer", [](TfrmSelectServer& d) {
        ASSERT_EQ(d.Servers()->count(), 2);
        EXPECT_EQ(d.Servers()->item(0)->text(), "Another.Server");
        d.Servers()->setCurrentRow(1);
        d.accept();
    }));
    EXPECT_EQ(window->findChild<QLineEdit*>("edtOPCServerName")->text(), "Remote.Server.1");
    EXPECT_EQ(controller->Controls().remoteOpcServer, "Remote.Server.1");
    EXPECT_TRUE(controller->SettingsModifiedFlag());
}

TEST_F(MainWindowButtons, OkWithoutSelectionAndCancelChangeNothing)
{
    TickRemote();
    const QString before = window->findChild<QLineEdit*>("edtOPCServerName")->text();
    ASSERT_TRUE(ClickWithDialog<TfrmSelectServer>("bbnBrowseServer", [](TfrmSelectServer& d) { d.accept(); }));
    ASSERT_TRUE(ClickWithDialog<TfrmSelectServer>("bbnBrowseServer", [](TfrmSelectServer& d) {
        d.Servers()->setCurrentRow(0);
        d.reject();
    }));
    EXPECT_EQ(window->findChild<QLineEdit*>("edtOPCServerName")->text(), before);
    EXPECT_FALSE(controller->SettingsModifiedFlag());
}

TEST_F(MainWindowButtons, LocalOpcServerOpensTheConsoleModally)
{
    ASSERT_TRUE(window->findChild<QPushButton*>("bbnLocalOPCServer")->isEnabled());
    ASSERT_TRUE(ClickWithDialog<TfrmOPCServerConsole>("bbnLocalOPCServer", [](TfrmOPCServerConsole& c) {
        EXPECT_EQ(c.windowTitle(), "OPC Server Console");
        EXPECT_EQ(c.ClientConLbl()->text(), "0");
        QTest::mouseClick(c.findChild<QPushButton*>("RegSerBtn"), Qt::LeftButton);
        QTest::mouseClick(c.findChild<QPushButton*>("CloseBtn"), Qt::LeftButton);
    }));
    EXPECT_TRUE(boxes.Shown("The OPC Server has been registered successfully!"));
    EXPECT_EQ(registry::ClsidFromProgId("QuorbelLinvaro.DA2.1"), CLSID_DA2);
}
