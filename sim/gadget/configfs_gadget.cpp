#include "configfs_gadget.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

const char kGadgetRoot[] = "/sys/kernel/config/usb_gadget";

std::string Hex(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04x", value);
  return text;
}

// configfs attributes take one write(2) each; a stream might split it.
bool WriteAttribute(const std::string& path, const void* bytes, std::size_t size, std::string& error) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  const ssize_t written = write(fd, bytes, size);
  const int writeErrno = errno;
  close(fd);
  if (written != static_cast<ssize_t>(size)) {
    error = "cannot write " + path + ": " + (written < 0 ? std::strerror(writeErrno) : "short write");
    return false;
  }
  return true;
}

bool WriteText(const std::string& path, const std::string& text, std::string& error) {
  return WriteAttribute(path, text.data(), text.size(), error);
}

bool MakeDir(const std::string& path, std::string& error) {
  if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
  error = "cannot make " + path + ": " + std::strerror(errno);
  return false;
}

}  // namespace

bool ConfigfsGadget::Create(const GadgetSpec& spec, std::string& error) {
  Remove();
  root_ = std::string(kGadgetRoot) + "/" + spec.name;
  const std::string strings = root_ + "/strings/0x409";
  const std::string config = root_ + "/configs/c.1";
  if (!MakeDir(root_, error) || !WriteText(root_ + "/idVendor", Hex(spec.vendorId), error) ||
      !WriteText(root_ + "/bcdUSB", "0x0200", error) || !MakeDir(root_ + "/strings", error) ||
      !MakeDir(strings, error) || !WriteText(strings + "/manufacturer", spec.manufacturer, error) ||
      !WriteText(strings + "/serialnumber", spec.serial, error) || !MakeDir(root_ + "/configs", error) ||
      !MakeDir(config, error) || !WriteText(config + "/MaxPower", "100", error) ||
      !SetIdentity(spec.productId, spec.product, error))
    return false;
  for (const HidFunctionSpec& function : spec.functions) {
    const std::string name = "hid.usb" + std::to_string(functions_);
    const std::string dir = root_ + "/functions/" + name;
    if (!MakeDir(dir, error)) return false;
    ++functions_;
    if (!WriteText(dir + "/protocol", std::to_string(function.protocol), error) ||
        !WriteText(dir + "/subclass", std::to_string(function.subclass), error) ||
        !WriteText(dir + "/report_length", std::to_string(function.reportLength), error) ||
        !WriteAttribute(dir + "/report_desc", function.reportDescriptor.data(), function.reportDescriptor.size(),
                        error))
      return false;
    if (symlink(dir.c_str(), (config + "/" + name).c_str()) != 0 && errno != EEXIST) {
      error = "cannot link " + name + " into the configuration: " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

bool ConfigfsGadget::SetIdentity(uint16_t productId, const std::string& product, std::string& error) {
  return WriteText(root_ + "/idProduct", Hex(productId), error) &&
         WriteText(root_ + "/strings/0x409/product", product, error);
}

bool ConfigfsGadget::Bind(const std::string& udc, std::string& error) {
  if (!WriteText(root_ + "/UDC", udc, error)) return false;
  udc_ = udc;
  return true;
}

void ConfigfsGadget::Unbind() {
  if (udc_.empty()) return;
  std::string ignored;
  WriteText(root_ + "/UDC", "\n", ignored);
  udc_.clear();
}

void ConfigfsGadget::Remove() {
  if (root_.empty()) return;
  Unbind();
  const std::string config = root_ + "/configs/c.1";
  for (std::size_t i = functions_; i-- > 0;) {
    const std::string name = "hid.usb" + std::to_string(i);
    unlink((config + "/" + name).c_str());
    rmdir((root_ + "/functions/" + name).c_str());
  }
  rmdir((config + "/strings/0x409").c_str());
  rmdir(config.c_str());
  rmdir((root_ + "/strings/0x409").c_str());
  rmdir(root_.c_str());
  root_.clear();
  functions_ = 0;
}

std::string ConfigfsGadget::HidgNode(std::size_t index) const {
  std::ifstream dev(root_ + "/functions/hid.usb" + std::to_string(index) + "/dev");
  std::string text;
  if (!std::getline(dev, text)) return std::string();
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) return std::string();
  return "/dev/hidg" + text.substr(colon + 1);
}

std::vector<std::string> ListUdcs() {
  std::vector<std::string> names;
  DIR* dir = opendir("/sys/class/udc");
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}
