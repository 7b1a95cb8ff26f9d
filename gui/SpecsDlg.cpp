#include "gui/SpecsDlg.h"

#include "gui/MainWnd.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QScreen>
#include <QStyle>
#include <QPlainTextEdit>
#include <QPushButton>

#include <algorithm>

CSpecs::CSpecs(CMainFrame* parent, const QString& caption, int mode)
    : CDuxkDialog(parent, 425, 423),
      m_strCaption(caption),
      m_core(std::make_unique<ListingDialog>(parent->Core(), static_cast<IListingView&>(*this), mode)) {
    m_edit = new QPlainTextEdit(this);
    m_edit->setReadOnly(true);
    m_edit->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_edit->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    Place(m_edit, IDC_LISTING_TEXT, 7, 7, 411, 390);

    QPushButton* ok = AddButton(1, QStringLiteral("OK"), 191, 402, 50, 14);
    ok->setDefault(true);
    ok->hide();
    QPushButton* close = AddButton(2, QStringLiteral("Close"), 368, 402, 50, 14);
    QPushButton* again = AddButton(IDC_LISTING_AGAIN, QStringLiteral("Again..."), 7, 402, 50, 14);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    connect(again, &QPushButton::clicked, this, &CSpecs::SendListingRequest);

    const QScreen* screen = parent && parent->screen() ? parent->screen() : QGuiApplication::primaryScreen();
    if (screen) FitToScreenHeight(screen->availableGeometry().height());

    m_timer.setInterval(ListingDialog::kTimerMs);
    connect(&m_timer, &QTimer::timeout, this, &CSpecs::OnTimer);
}

CSpecs::~CSpecs() { m_timer.stop(); }

void CSpecs::FitToScreenHeight(int available) {
    // 423 dialog units are taller than a small screen (1366 x 768 with a
    // panel) once the font is larger than the classic 8 pt: the text field
    // gives up what is missing (it scrolls) and the buttons move up with it.
    const int frame =
        style()->pixelMetric(QStyle::PM_TitleBarHeight) + 2 * style()->pixelMetric(QStyle::PM_DefaultFrameWidth) + 8;
    const QRect editRect = DuRect(7, 7, 411, 390);
    const int fullHeight = DuY(423);
    const int cut = std::clamp(fullHeight - (available - frame), 0, editRect.height() - DuY(100));
    m_edit->setGeometry(editRect.adjusted(0, 0, 0, -cut));
    const int buttonY = DuRect(0, 402, 1, 14).y() - cut;
    for (const char* id : {"id1", "id2", "id1007"}) {
        if (auto* button = findChild<QPushButton*>(QLatin1String(id))) button->move(button->x(), buttonY);
    }
    setFixedSize(width(), fullHeight - cut);
}

void CSpecs::OnInitDialog() {
    setWindowTitle(m_strCaption);
    // Courier New 10 pt where it exists, else the platform's fixed-pitch font
    // at the same size.
    const QString family = QString::fromLatin1(ListingDialog::kFontName);
    if (QFontDatabase::families().contains(family)) {
        m_pFont = std::make_unique<QFont>(family, ListingDialog::kFontPoints);
    } else {
        m_pFont = std::make_unique<QFont>(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        m_pFont->setPointSize(ListingDialog::kFontPoints);
    }
    m_pFont->setStyleHint(QFont::TypeWriter);
    m_edit->setFont(*m_pFont);

    m_core->OnInitDialog();
    m_timer.start();
    m_core->SendListingRequest();
}

void CSpecs::SetListingText(const std::string& text) {
    m_strText = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
    m_edit->setPlainText(m_strText);
}

void CSpecs::done(int result) {
    m_timer.stop();
    QDialog::done(result);
}
