// 按钮2 "导出结果": asks for a file name, writes the whole results grid into
// it and offers to open the folder that holds the file.
#pragma once

#include <QPointer>
#include <QString>

#include <functional>
#include <string>

#include "results/export_writer.h"

class QLineEdit;
class QWidget;
class UserDialogs;

class ExportAction {
 public:
  struct Inputs {
    QLineEdit* folderBox = nullptr;  // 编辑框1
    QLineEdit* searchBox = nullptr;  // 编辑框2
    std::function<const ResultsGrid*()> grid;  // the grid shown at the moment

    const XlApi* xl = nullptr;
    ExportProgress progress;          // 进度条1
    QWidget* dialogParent = nullptr;
    UserDialogs* dialogs = nullptr;  // the file name, the outcome, the folder opened
  };

  explicit ExportAction(Inputs inputs) : in_(inputs) {}

  // The click of 按钮2.
  void on按钮2Clicked();

  // The dialog's file name: the proposed one before it opens, the chosen
  // one afterwards.
  QString fileName() const { return fileName_; }

  // The dialog's filter and default extension: the writer writes OOXML.
  static constexpr const char* kFilter = "表格文件（*.xlsx）|*.xlsx";
  static constexpr const char* kDefaultExtension = "*.xlsx";

 private:
  Inputs in_;
  QString fileName_;
};
