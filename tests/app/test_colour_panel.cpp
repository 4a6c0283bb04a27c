// The colour panel on real widgets (offscreen): open, cancel, save.
#include <QGroupBox>
#include <QTest>

#include <filesystem>

#include "app/ColourPanel.h"
#include "app/settings.h"
#include "platform/toolkit/ColourPicker.h"
#include "tests/scripted_dialogs.h"
#include "tests/ui_test_folder.h"

namespace fs = std::filesystem;

class TestColourPanel : public QObject {
  Q_OBJECT

  fs::path dir_;
  std::string ini() const { return (dir_ / "配置.ini").string(); }

 private slots:
  void init() { dir_ = freshProgramFolder("colour_panel"); }
  void cleanup() { resetTestHooks(); }

  void colourPanelSaveAndCancel() {
    QWidget window;
    auto* panel = new QGroupBox(&window);
    auto* title = new ColourPicker(panel);
    auto* failure = new ColourPicker(panel);
    panel->hide();
    window.show();
    uint32_t titleColour = 0x808080, failureColour = 0xC080FF;
    ColourPanel colours(panel, title, failure, titleColour, failureColour);

    colours.on按钮3Clicked();
    QVERIFY(panel->isVisible());
    QCOMPARE(title->colour(), 0x808080u);
    QCOMPARE(failure->colour(), 0xC080FFu);

    // Cancel: nothing stored, nothing written; reopening drops the choice.
    title->setColour(0x0000FF);
    colours.on按钮5Clicked();
    QVERIFY(!panel->isVisible());
    QCOMPARE(titleColour, 0x808080u);
    QVERIFY(!fs::exists(ini()));
    colours.on按钮3Clicked();
    QCOMPARE(title->colour(), 0x808080u);

    // Save through the pickers' own dialog: decimal texts in the file.
    ScriptedDialogs dialogs;
    title->setDialogs(dialogs);
    failure->setDialogs(dialogs);
    dialogs.colourChoice = [](uint32_t current) -> std::optional<uint32_t> {
      return current == 0x808080 ? 0x0000FF : 0x00FF00;
    };
    QTest::mouseClick(title, Qt::LeftButton);
    QTest::mouseClick(failure, Qt::LeftButton);
    QCOMPARE(title->colour(), 0x0000FFu);
    QCOMPARE(failure->colour(), 0x00FF00u);
    colours.on按钮4Clicked();
    QVERIFY(!panel->isVisible());
    QCOMPARE(titleColour, 0x0000FFu);
    QCOMPARE(failureColour, 0x00FF00u);
    QCOMPARE(readProfileString(ini(), "颜色", "标题", ""), std::string("255"));
    QCOMPARE(readProfileString(ini(), "颜色", "失败", ""), std::string("65280"));
  }
};

QTEST_MAIN(TestColourPanel)
#include "test_colour_panel.moc"
