// MB: the modal confirmation box the commands that change a whole category ask before
// they run. It shows the heading "操作确认", the caller's question below it and the
// buttons "确定" (the default) and "取消".
//
// Stateless; each call makes and drops its own box.
// Thread-safety: main (GUI) thread only.
#pragma once

#include <string>

class QWidget;

class MB {
 public:
  // True only when the host chose "确定"; "取消", Escape or closing the box give false.
  // Returns after the box has closed.
  static bool showConfirm(const std::string& question, QWidget* parent = nullptr);
};
