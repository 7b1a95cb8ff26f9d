// The application object, its (empty) document and (empty) view.
#pragma once

#include "dialogs/Document.h"

#include <QApplication>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <memory>
#include <string>

class CMainFrame;

// The document holds nothing: opening reads nothing and saving writes an
// empty file. It only carries the title and the file it was last tied to.
class CDUXKUpdateMFCDoc {
public:
    static QString UntitledTitle() { return QString::fromLatin1(DocumentCore::kUntitled); }

    void OnNewDocument() { core_.OnNewDocument(); }
    // Opens path for reading (and reads nothing); false when it cannot be opened.
    bool OnOpenDocument(const QString& path);
    // Creates or truncates path and writes nothing; false on failure.
    bool OnSaveDocument(const QString& path);

    QString Title() const;
    QString PathName() const;

private:
    DocumentCore core_;
};

class QLabel;

// The view: the window's empty client area, where the frame shows what the
// status bar has no room for (the search's progress, the sensor found).
class CDUXKUpdateMFCView : public QWidget {
    Q_OBJECT
public:
    explicit CDUXKUpdateMFCView(QWidget* parent = nullptr);
    void SetText(const QString& text);
    QString Text() const;

private:
    QLabel* label_;
};

// What the application takes from its arguments (program name first): the
// trace files of "--trace FILE" / "--trace=FILE", the port and rate of
// "--port NAME" / "/port:NAME" and "--baud RATE" / "/baud:RATE", --help and
// --version, and the first word that is no flag (flags begin with '/' or
// '-'), naming a document to open. Other flags are ignored.
struct AppCommandLine {
    QString documentPath;
    QStringList traceFiles;
    QString port, baud;
    bool help = false, version = false;
    QString error;  // a usage error; empty when the line is fine
};
AppCommandLine ParseAppCommandLine(const QStringList& args);

class CDUXKUpdateMFCApp : public QApplication {
    Q_OBJECT
public:
    // cmdLine: the process command line as received (program path included).
    CDUXKUpdateMFCApp(int& argc, char** argv, std::string cmdLine);
    ~CDUXKUpdateMFCApp() override;

    // Settings, document and frame, the command line's document and trace
    // options; shows the main window. False ends the application.
    bool InitInstance();

    CMainFrame* MainFrame() const { return frame_.get(); }

private:
    std::string cmdLine_;
    std::unique_ptr<CDUXKUpdateMFCDoc> doc_;
    std::unique_ptr<CMainFrame> frame_;
};
