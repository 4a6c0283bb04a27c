#include "app/MainWindowExtras.h"

#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include "app/ColourPanel.h"
#include "app/MainWindow.h"
#include "app/MainWindowLayout.h"
#include "app/row_colours.h"
#include "platform/toolkit/progress_bar.h"
#include "results/ExportAction.h"
#include "results/GridView.h"
#include "results/OpenResult.h"
#include "ui_MainWindow.h"

MainWindowExtras::MainWindowExtras(MainWindow& window) : QObject(&window), window_(window) {
  Ui::MainWindow& f = window.form();

  // Resize rule: the window's own minimum, the grid follows every size change.
  applyMinimumWindowSize(window);
  connect(&window, &MainWindow::resized, this, [this] {
    onMainWindowResized(window_, *window_.form().高级表格1);
  });

  // Colour panel.
  colourPanel_ = std::make_unique<ColourPanel>(f.分组框1, f.颜色选择器1, f.颜色选择器2, titleColour, failureColour);
  connect(f.按钮3, &QPushButton::clicked, this, [this] { colourPanel_->on按钮3Clicked(); });
  connect(f.按钮4, &QPushButton::clicked, this, [this] { colourPanel_->on按钮4Clicked(); });
  connect(f.按钮5, &QPushButton::clicked, this, [this] { colourPanel_->on按钮5Clicked(); });

  // Export.
  QProgressBar* bar = f.进度条1;
  ExportAction::Inputs in;
  in.folderBox = f.编辑框1;
  in.searchBox = f.编辑框2;
  in.grid = [this]() -> const ResultsGrid* { return grid(); };
  in.xl = &xlApi();
  in.progress = {[bar](int p) { setProgressPosition(bar, p); }, [bar](int m) { setProgressMaximum(bar, m); }};
  in.dialogParent = &window;
  in.dialogs = &window.dialogs();
  exportAction_ = std::make_unique<ExportAction>(in);
  connect(f.按钮2, &QPushButton::clicked, this, [this] { exportAction_->on按钮2Clicked(); });

  // Opening a result from the "文件" menu.
  openResult_ = new OpenResult(window.dialogs(), [this] { return grid(); }, f.编辑框1, f.文件, f.打开文件夹, f.打开文件, this);
  if (auto* view = qobject_cast<GridView*>(f.高级表格1)) {
    connect(view, &GridView::currentCellChanged, openResult_, &OpenResult::onCurrentCellChanged);
    openResult_->setKeyboardAnchor([view]() -> std::optional<QPoint> {
      if (!view->lastMoveByKeyboard()) return std::nullopt;
      return view->currentCellBottomLeft();
    });
  }
}

MainWindowExtras::~MainWindowExtras() = default;

ResultsGrid* MainWindowExtras::grid() const {
  auto* view = qobject_cast<GridView*>(window_.form().高级表格1);
  return view ? view->grid() : nullptr;
}
