// The application object, its (empty) document and (empty) view.
#pragma once

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
    static QString UntitledTitle() { return QStringLiteral("Unbenannt"); }

    void OnNewDocument();
    // Opens path for reading (and reads nothing); false when it cannot be opened.
    bool OnOpenDocument(const QString& path);
    // Creates or truncates path and writes nothing; false on failure.
    bool OnSaveDocument(const QString& path);

    QString Title() const { return title_; }
    QString PathName() const { return path_; }

private:
    void SetPath(const QString& path);
    QString title_ = UntitledTitle();
    QString path_;
};

// The view draws nothing.
class CDUXKUpdateMFCView : public QWidget {
    Q_OBJECT
public:
    explicit CDUXKUpdateMFCView(QWidget* parent = nullptr) : QWidget(parent) {}
};

// What the application takes from its arguments (program name first): the
// trace files of "--trace FILE" / "--trace=FILE" and the first word that is
// no flag (flags begin with '/' or '-'), naming a document to open.
struct AppCommandLine {
    QString documentPath;
    QStringList traceFiles;
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
