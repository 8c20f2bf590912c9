#include "windows_text_table.h"

#include <iterator>

namespace {

struct TextPair {
  const char* english;
  const char* chinese;
};

const TextPair kTexts[] = {
    {"Search", "搜索"},
    {"Update", "更新"},
    {"The new firmware is updating,and it is turned off", "正在更新固件,是否立即停止?"},
    {"File type", "文件类型中显示的内容"},
    {"Firmware upgraded!", "升级成功."},
    {"New firmware", "升级新固件"},
    {"Korvid Tools v1.04", "Korvid Tools v1.04"},
    {"Firmware update failure", "固件更新失败"},
    {"Searching for Bluetooth devices", "正在搜索蓝牙设备"},
    {"warning", "警告"},
    {"Open bluetooth error", "打开蓝牙设备错误"},
    {"Firmware update failure, please handle work in BOOT mode", "固件更新失败,请将手柄工作在BOOT模式"},
    {"USB Update", "USB 升级"},
    {"1. Hold START+L+R for 3 seconds. Yellow LED         will blink.\r\n\r\n2. Connect to PC via USB cable.\r\n\r\n3. "
     "Click USB Update button and select firmware      file.",
     "请升级到最新版本"},
    {"1. Hold START+L+R for 3 seconds. Yellow LED         will blink.\r\n\r\n2. Connect to PC via USB cable.\r\n\r\n3. "
     "Click USB Update button and select firmware      file.",
     "1.按住START+L+R 开机（大约3S）, 黄灯闪烁。\r\n\r\n2.插入USB线。\r\n\r\n3.点击USB 升级按钮然后选择升级文件升级。"},
    {"and current is", "当前版本为"},
};

}  // namespace

std::string WindowsText(int id, TextLanguage language) {
  if (id < 0 || id >= static_cast<int>(std::size(kTexts))) return std::string();
  const TextPair& text = kTexts[id];
  return language == TextLanguage::Chinese ? text.chinese : text.english;
}
