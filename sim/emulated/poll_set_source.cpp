#include "poll_set_source.h"

struct PollSetSource::Source {
  GSource base;  // first: GLib allocates and frees the whole
  PollSetSource* owner;
};

namespace {

bool SameSet(const std::vector<pollfd>& a, const std::vector<pollfd>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].fd != b[i].fd || a[i].events != b[i].events) return false;
  return true;
}

GIOCondition ToCondition(short events) {
  int condition = 0;
  if (events & POLLIN) condition |= G_IO_IN;
  if (events & POLLOUT) condition |= G_IO_OUT;
  return static_cast<GIOCondition>(condition);
}

short ToEvents(GIOCondition condition) {
  short events = 0;
  if (condition & G_IO_IN) events |= POLLIN;
  if (condition & G_IO_OUT) events |= POLLOUT;
  if (condition & G_IO_HUP) events |= POLLHUP;
  if (condition & G_IO_ERR) events |= POLLERR;
  return events;
}

}  // namespace

PollSetSource::PollSetSource(Collect collect, Handle handle)
    : collect_(std::move(collect)), handle_(std::move(handle)) {
  static GSourceFuncs funcs = {
      &PollSetSource::Prepare, &PollSetSource::Check, &PollSetSource::Dispatch, nullptr, nullptr, nullptr};
  source_ = reinterpret_cast<Source*>(g_source_new(&funcs, sizeof(Source)));
  source_->owner = this;
  g_source_attach(&source_->base, nullptr);
}

PollSetSource::~PollSetSource() {
  g_source_destroy(&source_->base);
  g_source_unref(&source_->base);
}

void PollSetSource::Follow() {
  wanted_.clear();
  collect_(wanted_);
  if (SameSet(wanted_, watched_)) return;
  for (gpointer tag : tags_) g_source_remove_unix_fd(&source_->base, tag);
  tags_.clear();
  for (const pollfd& fd : wanted_) tags_.push_back(g_source_add_unix_fd(&source_->base, fd.fd, ToCondition(fd.events)));
  watched_ = wanted_;
}

gboolean PollSetSource::Prepare(GSource* source, gint* timeout) {
  reinterpret_cast<Source*>(source)->owner->Follow();
  *timeout = -1;
  return FALSE;
}

gboolean PollSetSource::Check(GSource* source) {
  PollSetSource* self = reinterpret_cast<Source*>(source)->owner;
  for (gpointer tag : self->tags_)
    if (g_source_query_unix_fd(source, tag) != 0) return TRUE;
  return FALSE;
}

gboolean PollSetSource::Dispatch(GSource* source, GSourceFunc, gpointer) {
  PollSetSource* self = reinterpret_cast<Source*>(source)->owner;
  std::vector<pollfd> seen = self->watched_;
  for (std::size_t i = 0; i < seen.size(); ++i)
    seen[i].revents = ToEvents(g_source_query_unix_fd(source, self->tags_[i]));
  self->handle_(seen);
  return G_SOURCE_CONTINUE;
}
