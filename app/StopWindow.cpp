#include "app/StopWindow.h"

#include <QCloseEvent>

#include "platform/toolkit/window_ops.h"
#include "ui_StopWindow.h"

StopWindow::StopWindow(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
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
    centreOnScreen(this);
    placed_ = true;
  }
  QWidget::showEvent(event);
}
