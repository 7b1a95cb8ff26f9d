#include "gui/DuxkDialog.h"

#include "gui/MessageBox.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

#include <algorithm>

CDuxkDialog::CDuxkDialog(QWidget* parent, int widthDu, int heightDu) : QDialog(parent) {
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setModal(true);
    const QFontMetrics fm(font());
    // Average width of the Latin letters, rounded as the classic dialog
    // manager does, and the font's line height.
    const int letters = fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    baseX_ = std::max(1, (letters / 26 + 1) / 2);
    baseY_ = std::max(1, fm.height());
    setFixedSize(DuX(widthDu), DuY(heightDu));
}

int CDuxkDialog::DuX(int du) const { return (du * baseX_ + 2) / 4; }
int CDuxkDialog::DuY(int du) const { return (du * baseY_ + 4) / 8; }

QRect CDuxkDialog::DuRect(int x, int y, int w, int h) const {
    const int left = DuX(x), top = DuY(y);
    return QRect(left, top, DuX(x + w) - left, DuY(y + h) - top);
}

void CDuxkDialog::Place(QWidget* widget, int id, int x, int y, int w, int h) {
    if (id != 0) widget->setObjectName(QStringLiteral("id%1").arg(id));
    widget->setGeometry(DuRect(x, y, w, h));
}

QPushButton* CDuxkDialog::AddButton(int id, const QString& text, int x, int y, int w, int h) {
    auto* button = new QPushButton(text, this);
    button->setAutoDefault(false);
    Place(button, id, x, y, w, h);
    return button;
}

QLabel* CDuxkDialog::AddStatic(const QString& text, bool rightAligned, int x, int y, int w, int h) {
    auto* label = new QLabel(this);
    // A static shows its text as it is: one that came from a sensor or names
    // a file must not be taken for markup.
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->setAlignment((rightAligned ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignTop);
    Place(label, 0, x, y, w, h);
    // The layout's widths were made for the classic 8-point font; a larger
    // or wider one must not cut a label. It keeps its aligned edge and grows
    // toward the other side, inside the dialog's margin.
    const int needed = label->fontMetrics().horizontalAdvance(text) + 1;
    QRect r = label->geometry();
    if (needed > r.width()) {
        const int margin = DuX(2);
        if (rightAligned)
            r.setLeft(std::max(margin, r.right() + 1 - needed));
        else
            r.setRight(std::min(width() - margin - 1, r.left() + needed - 1));
        label->setGeometry(r);
    }
    return label;
}

void CDuxkDialog::ShowDialogBox(const std::string& text, const std::string& caption, BoxIcon icon) {
    DuxkMessageBox(this, QString::fromStdString(text), QString::fromStdString(caption), icon);
}

bool CDuxkDialog::AskDialogYesNo(const std::string& text, const std::string& caption) {
    return DuxkQuestionBox(this, QString::fromStdString(text), QString::fromStdString(caption));
}

bool CDuxkDialog::AskDialogFile(const FileQuestion& question, std::string& path) {
    QFileDialog dlg(this);
    dlg.setAcceptMode(question.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dlg.setFileMode(QFileDialog::AnyFile);
    QStringList filters;
    for (const auto& [description, pattern] : question.filters) {
        // Qt writes "all files" as "*".
        filters << (pattern == "*.*" ? QStringLiteral("All Files (*)") : QString::fromStdString(description));
    }
    dlg.setNameFilters(filters);
    dlg.setDefaultSuffix(QString::fromStdString(question.defaultExtension));
    const QString initial = QFile::decodeName(QByteArray::fromStdString(question.initialPath));
    if (!initial.isEmpty()) dlg.selectFile(initial);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return false;
    path = QFile::encodeName(QFileInfo(dlg.selectedFiles().first()).absoluteFilePath()).toStdString();
    return true;
}

void CDuxkDialog::showEvent(QShowEvent* event) {
    if (!initialised_) {
        initialised_ = true;
        OnInitDialog();
    }
    QDialog::showEvent(event);
}

void CDuxkDialog::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        if (auto* button = qobject_cast<QPushButton*>(focusWidget()); button && button->isEnabled()) {
            button->click();
        } else {
            accept();
        }
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}
