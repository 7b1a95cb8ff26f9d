// A scripted walk through the application's windows that saves a picture of
// each: a development tool (docs/screenshots.sh), built beside the desktop
// application but never part of it and never installed.
#pragma once

#include <QString>

class CMainFrame;

// Schedules the tour on the event loop: pictures go into dir, the update
// dialog runs with firmware (none: it is pictured without an update). The
// application quits at the tour's end.
void StartScreenshotTour(CMainFrame* frame, const QString& dir, const QString& firmware);
