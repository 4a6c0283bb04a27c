// Binds the colour panel, the resize rule, the export and the opening of a
// result to MainWindow's controls and events.
#pragma once

#include <QObject>

#include <memory>

class ColourPanel;
class ExportAction;
class MainWindow;
class OpenResult;
class ResultsGrid;

class MainWindowExtras : public QObject {
  Q_OBJECT

 public:
  explicit MainWindowExtras(MainWindow& window);
  ~MainWindowExtras() override;

  ColourPanel& colourPanel() { return *colourPanel_; }
  ExportAction& exportAction() { return *exportAction_; }
  OpenResult& openResult() { return *openResult_; }

 private:
  ResultsGrid* grid() const;

  MainWindow& window_;
  std::unique_ptr<ColourPanel> colourPanel_;
  std::unique_ptr<ExportAction> exportAction_;
  OpenResult* openResult_ = nullptr;  // a child of this object
};
