// Makes a window take files and folders dropped from the desktop's file
// manager: an event filter on the window and on every widget inside it.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <string>
#include <vector>

class QDropEvent;
class QMimeData;

class FileDropHook : public QObject {
  Q_OBJECT

 public:
  using OnDrop = std::function<void(const std::string& path)>;

  FileDropHook() = default;
  ~FileDropHook() override { detach(); }

  // From here on, a drop of local files or folders anywhere on `window`
  // calls `onDrop` once per path (its bytes, UTF-8 or not), in the order the
  // drop lists them.
  void attach(QWidget* window, OnDrop onDrop);
  // Stops taking drops and gives every widget back its own drop handling.
  void detach();

  bool attached() const { return !window_.isNull(); }

  // The local paths a drag carries, in its order; empty when it carries
  // anything else (text, remote URLs), which the hook then leaves alone.
  static std::vector<std::string> localPaths(const QMimeData* mime);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct Hooked {
    QPointer<QWidget> widget;
    bool acceptedDrops;
  };
  QPointer<QWidget> window_;
  OnDrop onDrop_;
  QList<Hooked> hooked_;
};
