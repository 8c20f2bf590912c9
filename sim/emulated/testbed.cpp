#include "testbed.h"

#include <glib.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <cstring>

namespace {

std::string TakeMessage(GError* error) {
  std::string text = error != nullptr ? error->message : "unknown error";
  if (error != nullptr) g_error_free(error);
  return text;
}

// umockdev complains of a program killed in the middle of a call: it warns
// that the call's data could not be read, and when the client goes it
// finds the connection never seen to close, as nobody read from it again.
// That is how such a program ends here, not a fault.
void QuietAboutKilledPrograms(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer) {
  for (const char* known : {"Destroying IoctlClient with open stream", "Error resolving IOCtl data"})
    if (message != nullptr && std::strstr(message, known) != nullptr) return;
  g_log_default_handler(domain, level, message, nullptr);
}

}  // namespace

std::unique_ptr<Testbed> Testbed::Create(std::string& error) {
  g_log_set_handler(nullptr, static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING),
                    QuietAboutKilledPrograms, nullptr);

  // umockdev aborts the process when it cannot make its folder: try first
  // where it will, so that the failure can be told.
  GError* trial = nullptr;
  gchar* folder = g_dir_make_tmp("umockdev.XXXXXX", &trial);
  if (folder == nullptr) {
    error = "cannot make the testbed folder: " + TakeMessage(trial);
    return nullptr;
  }
  rmdir(folder);
  g_free(folder);

  UMockdevTestbed* testbed = umockdev_testbed_new();
  gchar* root = umockdev_testbed_get_root_dir(testbed);
  std::unique_ptr<Testbed> made(new Testbed(testbed, root));
  g_free(root);
  // Programs connect to this socket when they open a device without a
  // handler of its own (and give up when they cannot), whichever their user.
  chmod((made->root_ + "/ioctl/_default").c_str(), 0666);
  return made;
}

Testbed::~Testbed() { g_object_unref(testbed_); }

bool Testbed::AttachHandler(const std::string& devnode, UMockdevIoctlBase* handler, std::string& error) {
  GError* failure = nullptr;
  if (umockdev_testbed_attach_ioctl(testbed_, devnode.c_str(), handler, &failure)) return true;
  error = "cannot attach the handler of " + devnode + ": " + TakeMessage(failure);
  return false;
}

void Testbed::DetachHandler(const std::string& devnode) {
  GError* failure = nullptr;
  if (!umockdev_testbed_detach_ioctl(testbed_, devnode.c_str(), &failure)) g_clear_error(&failure);
}

bool Testbed::Add(const std::string& description, std::string& error) {
  GError* failure = nullptr;
  if (umockdev_testbed_add_from_string(testbed_, description.c_str(), &failure)) return true;
  error = "cannot add a device to the testbed: " + TakeMessage(failure);
  return false;
}

void Testbed::Remove(const std::string& syspath) { umockdev_testbed_remove_device(testbed_, syspath.c_str()); }

void Testbed::Uevent(const std::string& syspath, const char* action) {
  umockdev_testbed_uevent(testbed_, syspath.c_str(), action);
}

int Testbed::PtyMaster(const std::string& devnode) { return umockdev_testbed_get_dev_fd(testbed_, devnode.c_str()); }
