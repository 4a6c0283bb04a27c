// The save-file dialog: a filter in the "description|pattern" form, a
// default extension such as "*.xlsx", the proposed file name, and a question
// before an existing file is overwritten. Shown through
// UserDialogs::saveFileDialog.
#pragma once

#include <QString>

struct SaveFileRequest {
  QString filter;            // "表格文件（*.xlsx）|*.xlsx"; pairs separated by "|"
  QString defaultExtension;  // "*.xlsx": added when the chosen name has none
  QString fileName;          // proposed name, a full path or a bare name
};

// Qt's form of the filter ("desc (pattern)" entries joined by ";;").
QString qtNameFilters(const QString& filter);
