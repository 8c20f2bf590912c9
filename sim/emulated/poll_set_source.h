// Puts a component written for poll() (it names the descriptors it wants
// watched, then handles what poll saw) on the GLib main loop, following its
// set of descriptors as it changes.
#pragma once

#include <glib.h>
#include <poll.h>

#include <functional>
#include <vector>

class PollSetSource {
 public:
  using Collect = std::function<void(std::vector<pollfd>&)>;
  using Handle = std::function<void(const std::vector<pollfd>&)>;

  PollSetSource(Collect collect, Handle handle);
  ~PollSetSource();
  PollSetSource(const PollSetSource&) = delete;
  PollSetSource& operator=(const PollSetSource&) = delete;

 private:
  struct Source;
  static gboolean Prepare(GSource* source, gint* timeout);
  static gboolean Check(GSource* source);
  static gboolean Dispatch(GSource* source, GSourceFunc, gpointer);
  void Follow();

  Collect collect_;
  Handle handle_;
  Source* source_;
  std::vector<pollfd> wanted_;
  std::vector<pollfd> watched_;
  std::vector<gpointer> tags_;
};
