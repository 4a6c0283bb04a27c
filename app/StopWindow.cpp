#include "app/StopWindow.h"

#include <QCloseEvent>

#include "platform/toolkit/window_ops.h"
#include "ui_StopWindow.h"

// A framed window with its caption, so it reads as one of this program's,
// but no close box: only its button and the end of the search close it.
StopWindow::StopWindow(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowStaysOnTopHint),
      form_(std::make_unique<Ui::StopWindow>()) {
  form_->setupUi(this);
  setFixedSize(369, 115);
}

StopWindow::~StopWindow() = default;

void StopWindow::closeAtEndOfSearch() {
  closing_ = true;
  close();
}

void StopWindow::closeEvent(QCloseEvent* event) {
  if (closing_) event->accept();
  else event->ignore();
}

void StopWindow::showEvent(QShowEvent* event) {
  if (!placed_) {
    centreOver(this, placeOver_.data());
    placed_ = true;
  }
  QWidget::showEvent(event);
}
