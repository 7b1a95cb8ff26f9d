// A scripted walk through the application's windows that saves a picture of
// each (used by docs/screenshots.sh). Started only when DUXK_SCREENSHOTS
// names a directory; DUXK_SCREENSHOT_FIRMWARE names the firmware file the
// update dialog runs with.
#pragma once

class CMainFrame;

// Schedules the tour on the event loop when the environment asks for it;
// the application quits at its end.
void StartScreenshotTourIfRequested(CMainFrame* frame);
