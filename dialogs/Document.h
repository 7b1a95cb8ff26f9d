// The application's document: it holds nothing. Opening reads nothing and
// saving writes an empty file; the document only carries the title that the
// main window's caption shows and the file it was last tied to.
#pragma once

#include <string>

class DocumentCore {
public:
    static constexpr const char* kUntitled = "Unbenannt";
    static constexpr const char* kAppTitle = "DUXKUpdate";

    void OnNewDocument();
    // Opens path for reading (and reads nothing); false when it cannot be
    // opened (a directory cannot).
    bool OnOpenDocument(const std::string& path);
    // Creates or truncates path and writes nothing; false on failure.
    bool OnSaveDocument(const std::string& path);

    const std::string& Title() const { return title_; }
    const std::string& PathName() const { return path_; }
    // "<title> - DUXKUpdate".
    std::string Caption() const { return title_ + " - " + kAppTitle; }

private:
    void SetPath(const std::string& path);
    std::string title_ = kUntitled;
    std::string path_;
};
