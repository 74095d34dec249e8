// The windowing platform's set-up: Chinese texts on the toolkit's own buttons and dialogs, a CJK
// interface font, the program icon and the themed look of the controls.
#pragma once

class QApplication;

namespace tolvane {

// Before any window exists: the toolkit's Chinese translations, the interface font, the icon.
void install_platform_look(QApplication& application);

// The themed drawing of the standard controls for every window: the toolkit's Fusion style with a
// blue scheme. The main window switches it on when it has been created.
void apply_themed_drawing();

// The embedded pictures (the banner and the icon); false while a picture is missing.
bool resource_exists(const char* path);

}  // namespace tolvane
