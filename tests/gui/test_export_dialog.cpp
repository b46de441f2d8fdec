// The "Save As Special" dialog: its file types, its options panel bound to
// the options, and its registration under the dialog id.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QTimer>
#include <filesystem>

#include "GuiTestUtil.h"
#include "app/CliSupport.h"
#include "app/gui/DialogRegistry.h"
#include "export/gui/ExportDlg.h"
#include "session/MidwireDoc.h"

namespace {

class SaveSpecialDlgTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        guitest::EnsureApplication();
        m_strDir = QString::fromStdString(std::filesystem::temp_directory_path().string());
    }
    QString m_strDir;
};

}  // namespace

TEST_F(SaveSpecialDlgTest, OpensWithTheOptionsAndBindsThePanel)
{
    SaveSpecialOptions options;
    CSaveSpecialDlg dlg(nullptr, options);
    EXPECT_EQ(dlg.windowTitle(), "Save As Special");
    EXPECT_EQ(dlg.nameFilters(), (QStringList{"Text (*.txt)", "Binary (*.bin)", "Mime (*.*)"}));
    EXPECT_EQ(dlg.acceptMode(), QFileDialog::AcceptSave);
    EXPECT_TRUE(dlg.defaultSuffix().isEmpty());
    EXPECT_FALSE(dlg.testOption(QFileDialog::DontConfirmOverwrite));

    // Defaults: All, All, Both and the four columns.
    for (UINT nID : {IDC_SAVE_SELECTION_ALL, IDC_SAVE_EVENTS_ALL, IDC_SAVE_SIDE_BOTH, IDC_SAVE_FORMAT_DIRECTION,
                     IDC_SAVE_FORMAT_DATE, IDC_SAVE_FORMAT_HOST, IDC_SAVE_FORMAT_ACTION}) {
        ASSERT_NE(dlg.Control(nID), nullptr) << nID;
        EXPECT_TRUE(dlg.Control(nID)->isChecked()) << nID;
    }
    for (UINT nID : {IDC_SAVE_SELECTION_SELECTED, IDC_SAVE_EVENTS_DATA, IDC_SAVE_SIDE_CLIENT, IDC_SAVE_SIDE_SERVER})
        EXPECT_FALSE(dlg.Control(nID)->isChecked()) << nID;

    // A click stores its value at once.
    dlg.Control(IDC_SAVE_SELECTION_SELECTED)->click();
    dlg.Control(IDC_SAVE_EVENTS_DATA)->click();
    dlg.Control(IDC_SAVE_SIDE_SERVER)->click();
    dlg.Control(IDC_SAVE_FORMAT_DATE)->click();
    EXPECT_EQ(options.nSelection, SAVE_SEL_SELECTED);
    EXPECT_EQ(options.nEvents, SAVE_EVENTS_DATA);
    EXPECT_EQ(options.nSide, SAVE_SIDE_SERVER);
    EXPECT_FALSE(options.bDate);
    dlg.Control(IDC_SAVE_SIDE_CLIENT)->click();
    EXPECT_EQ(options.nSide, SAVE_SIDE_CLIENT);

    // A dialog over options that are not the defaults shows them.
    CSaveSpecialDlg again(nullptr, options);
    EXPECT_TRUE(again.Control(IDC_SAVE_SIDE_CLIENT)->isChecked());
    EXPECT_TRUE(again.Control(IDC_SAVE_EVENTS_DATA)->isChecked());
    EXPECT_FALSE(again.Control(IDC_SAVE_FORMAT_DATE)->isChecked());
}

TEST_F(SaveSpecialDlgTest, RegisteredDialogFillsPathAndOptions)
{
    RegisterAllDialogs();
    ASSERT_TRUE(HasRegisteredDialog(IDD_SAVE_SPECIAL));
    CMidwireDoc doc;
    const QString strPath = m_strDir + "/midwire-dialog-test-" + QString::number(QCoreApplication::applicationPid()) + ".bin";

    SaveSpecialOptions options;
    QTimer::singleShot(0, [&] {
        auto* pDlg = qobject_cast<CSaveSpecialDlg*>(QApplication::activeModalWidget());
        ASSERT_NE(pDlg, nullptr);
        pDlg->Control(IDC_SAVE_FORMAT_HOST)->click();
        pDlg->selectFile(strPath);
        static_cast<QDialog*>(pDlg)->accept();  // the file dialog's own OK
    });
    EXPECT_EQ(RunRegisteredDialog(IDD_SAVE_SPECIAL, nullptr, doc, &options), IDOK);
    EXPECT_EQ(QString::fromStdString(options.strPath), strPath);
    EXPECT_FALSE(options.bHost);
    EXPECT_TRUE(options.bAction);

    SaveSpecialOptions cancelled;
    QTimer::singleShot(0, [&] {
        if (auto* pDlg = QApplication::activeModalWidget())
            static_cast<QDialog*>(pDlg)->reject();
    });
    EXPECT_EQ(RunRegisteredDialog(IDD_SAVE_SPECIAL, nullptr, doc, &cancelled), IDCANCEL);
    EXPECT_TRUE(cancelled.strPath.empty());

    // Without options to fill there is nothing to ask.
    EXPECT_EQ(RunRegisteredDialog(IDD_SAVE_SPECIAL, nullptr, doc, nullptr), IDCANCEL);
}

TEST_F(SaveSpecialDlgTest, FileNameThatIsNotUtf8KeepsItsBytes)
{
    // A Latin-1 name reaches the export as its own bytes, not as the bytes
    // of U+FFFD.
    RegisterAllDialogs();
    CMidwireDoc doc;
    const std::string strPath = m_strDir.toStdString() + "/midwire-dialog-caf\xE9-" +
                                std::to_string(QCoreApplication::applicationPid()) + ".txt";
    SaveSpecialOptions options;
    QTimer::singleShot(0, [&] {
        auto* pDlg = qobject_cast<CSaveSpecialDlg*>(QApplication::activeModalWidget());
        ASSERT_NE(pDlg, nullptr);
        pDlg->selectFile(ArgumentText(strPath));
        static_cast<QDialog*>(pDlg)->accept();
    });
    EXPECT_EQ(RunRegisteredDialog(IDD_SAVE_SPECIAL, nullptr, doc, &options), IDOK);
    EXPECT_EQ(options.strPath, strPath);
}

// Save over the initial "*.*" (or any name with wildcards) leaves the dialog
// open instead of choosing an export literally named after the pattern.
TEST_F(SaveSpecialDlgTest, AWildcardNameIsNotAccepted)
{
    RegisterAllDialogs();
    CMidwireDoc doc;
    const QString strPath = m_strDir + "/midwire-wildcard-test-" + QString::number(QCoreApplication::applicationPid()) + ".txt";

    SaveSpecialOptions options;
    int nAttempts = 0;
    bool bStillOpen = false;
    QTimer::singleShot(0, [&] {
        auto* pDlg = qobject_cast<CSaveSpecialDlg*>(QApplication::activeModalWidget());
        ASSERT_NE(pDlg, nullptr);
        pDlg->setDirectory(m_strDir);
        EXPECT_TRUE(pDlg->selectedFiles().value(0).endsWith("/*.*"));
        for (const QString& strPattern : {QStringLiteral("*.*"), QStringLiteral("log?.txt")}) {
            pDlg->selectFile(strPattern);
            static_cast<QDialog*>(pDlg)->accept();
            ++nAttempts;
        }
        bStillOpen = pDlg->isVisible() && QApplication::activeModalWidget() == pDlg;
        // A real name is then taken as usual.
        pDlg->selectFile(strPath);
        static_cast<QDialog*>(pDlg)->accept();
    });
    EXPECT_EQ(RunRegisteredDialog(IDD_SAVE_SPECIAL, nullptr, doc, &options), IDOK);
    EXPECT_EQ(nAttempts, 2);
    EXPECT_TRUE(bStillOpen);
    EXPECT_EQ(QString::fromStdString(options.strPath), strPath);
}
