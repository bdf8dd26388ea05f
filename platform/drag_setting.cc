#include "platform/drag_setting.h"

#include "platform/profile.h"

namespace kel::platform {
namespace {
constexpr const char* kSection = "Desktop";
constexpr const char* kKey = "DragFullWindows";
}  // namespace

bool GetDragFullWindows() { return GetProfileInt(kSection, kKey, 1) != 0; }

int SetDragFullWindows(bool on) { return WriteProfileString(kSection, kKey, on ? "1" : "0"); }

}  // namespace kel::platform
