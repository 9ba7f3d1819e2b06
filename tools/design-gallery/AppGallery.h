#pragma once

// The app's windows and menu as pictures: every onboarding page with and without the
// permissions and a phone, the pairing window in each state, the guide for each permission and
// the tray menu in three states. Needs a QApplication.

#include <filesystem>

namespace brindlet::app::ui {

// Writes the pictures into `folder` at two pixels per point; false when one cannot be written.
bool writeAppGallery(const std::filesystem::path& folder);

}  // namespace brindlet::app::ui
