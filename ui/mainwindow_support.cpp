// The Support page: software, firmware and audio versions, the three expandable sections, the
// audio-version pop-up and the links to documentation, downloads and support.

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "app/catalogue.h"
#include "app/settings.h"
#include "ui/formprompt.h"
#include "ui/theme.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QCursor>
#include <QEvent>
#include <QFileInfo>
#include <QMouseEvent>
#include <QUrl>

namespace {

// The software version shown as "V1.3.4".
constexpr int kVersionMajor = 1;
constexpr int kVersionMinor = 3;
constexpr int kVersionPatch = 4;

// The program's README, where the documentation and download links lead unless product.ini names
// other targets: the copy installed beside the program (found from the executable's folder, so
// any prefix works), the one of the configured prefix, or the source tree's for a build that runs
// uninstalled.
const char* const kReadmeBesideProgram = "/../share/doc/deckctl/README.md";
const char* const kReadmeLocations[] = {DECKCTL_README_INSTALLED, DECKCTL_README_SOURCE};
// The README's section on upgrading a camera, the download link's target.
const QString kReadmeUpgradeSection = QStringLiteral("upgrading-a-camera");

// The link colour before the first style is applied, and the colour of a hovered link.
const QString kInitialLinkColour = QStringLiteral("#595959");
const QString kHoverLinkColour = QStringLiteral("#61c4ff");

// The audio-version pop-up.
constexpr int kPromptWidth = 239;
constexpr int kPromptHeight = 80;
const QColor kPromptLight(255, 255, 255);
const QColor kPromptDark(74, 74, 74);
constexpr int kPromptCursorGapX = 5;
constexpr int kPromptArrowOffsetY = 10;

enum SupportLink
{
    LinkDocumentation = 0,
    LinkDownloads = 1,
    LinkSupport = 2
};

QString linkTarget(const SettingsStore& settings, const QString& key, const QString& fallback)
{
    const QString value = settings.value(key).toString().trimmed();
    return value.isEmpty() ? fallback : value;
}

// The README as a file URL (with the section as fragment), or an empty string when no copy exists.
QString readmeUrl(const QString& section = QString())
{
    QStringList paths{QCoreApplication::applicationDirPath() + QString::fromUtf8(kReadmeBesideProgram)};
    for (const char* location : kReadmeLocations)
        paths << QString::fromUtf8(location);
    for (const QString& path : paths) {
        if (QFileInfo(path).isFile()) {
            QUrl url = QUrl::fromLocalFile(QFileInfo(path).canonicalFilePath());
            if (!section.isEmpty())
                url.setFragment(section);
            return url.toString();
        }
    }
    return QString();
}

// Whether a link target can be opened: a web address needs a host (a target such as "https:///"
// leads nowhere), a local file must exist.
bool linkOpens(const QString& target)
{
    const QUrl url(target);
    if (url.isLocalFile())
        return QFileInfo(url.toLocalFile()).isFile();
    return !url.host().isEmpty();
}

} // namespace

// Clicks a section's expand button on a left-button press on its header label, and reports the
// hover of the link labels to the window. It keeps the widgets' addresses rather than the form:
// events still reach it while the window's children are destroyed, after the form is gone, and
// it only compares the watched object with them then.
class SupportPageFilter : public QObject
{
public:
    SupportPageFilter(MainWindow* window, Ui::MainWindow* ui)
        : QObject(window),
          m_window(window), m_headers{ui->labelDevInfo, ui->labelDevUpdate, ui->labelDevSupport},
          m_expandButtons{ui->btnDevInfoExtend, ui->btnDevUpdateExtend, ui->btnDevSupportExtend},
          m_links{ui->labelHyperlinksQuickStartGuide, ui->labelHyperlinksUserGuide,
                  ui->labelHyperlinksContactSupport}
    {
    }

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        const QEvent::Type type = event->type();
        if (type == QEvent::MouseButtonPress &&
            static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
            for (int section = 0; section < 3; ++section) {
                if (watched == m_headers[section])
                    m_expandButtons[section]->click();
            }
        } else if (type == QEvent::HoverEnter || type == QEvent::HoverMove || type == QEvent::HoverLeave) {
            for (int link = 0; link < 3; ++link) {
                if (watched == m_links[link])
                    m_window->supportLinkHovered(link, type != QEvent::HoverLeave);
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    MainWindow* m_window;
    const QObject* m_headers[3];
    QAbstractButton* m_expandButtons[3];
    const QObject* m_links[3];
};

void MainWindow::setUpSupportPage()
{
    ui->labelAppVer->setText(
        QStringLiteral("V%1.%2.%3").arg(kVersionMajor).arg(kVersionMinor).arg(kVersionPatch));

    auto* filter = new SupportPageFilter(this, ui);
    for (QWidget* header :
         {static_cast<QWidget*>(ui->labelDevInfo), static_cast<QWidget*>(ui->labelDevUpdate),
          static_cast<QWidget*>(ui->labelDevSupport)})
        header->installEventFilter(filter);

    const SettingsStore& settings = SettingsStore::application();
    m_linkTargets =
        QStringList{linkTarget(settings, settings_keys::kLinkDocumentation, readmeUrl()),
                    linkTarget(settings, settings_keys::kLinkDownloads, readmeUrl(kReadmeUpgradeSection)),
                    linkTarget(settings, settings_keys::kLinkSupport, names::kSupportUrl)};
    for (QLabel* label : {ui->labelHyperlinksQuickStartGuide, ui->labelHyperlinksUserGuide,
                          ui->labelHyperlinksContactSupport}) {
        label->setOpenExternalLinks(true);
        label->setTextFormat(Qt::RichText);
        label->setAttribute(Qt::WA_Hover);
        label->installEventFilter(filter);
    }

    const QString construction[] = {
        tr("<style> a {text-decoration: none} </style><a style='color: #595959;' href=\"%1/\">Documentation"),
        tr("<style> a {text-decoration: none} </style><a style='color: #595959;' href=\"%1/\">Application "
           "and "
           "Firmware"),
        tr("<style> a {text-decoration: none} </style><a style='color: #595959;' href=\"%1/\">Contact "
           "Support")};
    QLabel* labels[] = {ui->labelHyperlinksQuickStartGuide, ui->labelHyperlinksUserGuide,
                        ui->labelHyperlinksContactSupport};
    for (int link = 0; link < 3; ++link) {
        if (!linkOpens(m_linkTargets[link]))
            showSupportLink(link, kInitialLinkColour, false); // the plain-text form
        else
            labels[link]->setText(construction[link].arg(m_linkTargets[link]));
    }
}

void MainWindow::showSupportLink(int link, const QString& colour, bool hovered)
{
    QLabel* labels[] = {ui->labelHyperlinksQuickStartGuide, ui->labelHyperlinksUserGuide,
                        ui->labelHyperlinksContactSupport};
    if (link < 0 || link >= 3 || link >= m_linkTargets.size())
        return;
    const QString& target = m_linkTargets[link];
    // A target that leads nowhere is shown as its name in plain text instead of a link that
    // could not open.
    if (!linkOpens(target)) {
        const QString names[] = {tr("Documentation"), tr("Application and Firmware"), tr("Contact Support")};
        labels[link]->setText(names[link].toHtmlEscaped());
        return;
    }
    QString text;
    switch (link) {
    case LinkDocumentation:
        text = tr("<style> a {text-decoration: none} </style><a style='color: %2;' href=\"%1\" "
                  "target=_blank>Documentation</a>");
        break;
    case LinkDownloads:
        text = hovered ? tr("<style> a {text-decoration: none} </style><a style='color: %2;' href=\"%1\" "
                            "target=_blank>Application and Firmware</a>")
                       : tr("<style> a {text-decoration: none} </style><a style='color: %2;' "
                            "href=\"%1/\">Application "
                            "and Firmware");
        break;
    default:
        text = tr(
            "<style> a {text-decoration: none} </style><a style='color: %2;' href=\"%1/\">Contact Support");
        break;
    }
    labels[link]->setText(text.arg(target, colour));
}

void MainWindow::setSupportLinks(const QString& colour)
{
    for (int link = 0; link < 3; ++link)
        showSupportLink(link, colour, false);
}

void MainWindow::supportLinkHovered(int link, bool inside)
{
    showSupportLink(link, inside ? kHoverLinkColour : supportLinkColour(), inside);
}

// ---- sections -------------------------------------------------------------------------------

void MainWindow::on_btnDevInfoExtend_clicked()
{
    ui->widgetDevInfo->setVisible(!m_aboutExpanded);
    m_aboutExpanded = !m_aboutExpanded;
}

void MainWindow::on_btnDevUpdateExtend_clicked()
{
    ui->widgetDevUpdate->setVisible(!m_restoreExpanded);
    m_restoreExpanded = !m_restoreExpanded;
}

void MainWindow::on_btnDevSupportExtend_clicked()
{
    ui->widgetDevSupport->setVisible(!m_supportExpanded);
    m_supportExpanded = !m_supportExpanded;
}

// ---- audio-version pop-up -------------------------------------------------------------------

void MainWindow::on_btnAudioVersionPrompt_clicked()
{
    auto* prompt = qobject_cast<FormPrompt*>(m_prompt.data());
    if (!prompt) {
        delete m_prompt.data();
        prompt = new FormPrompt(this);
        prompt->setFixedSize(kPromptWidth, kPromptHeight);
        m_prompt = prompt;
    }
    prompt->setBackgroundColor(m_styleIndex == theme::kLight ? kPromptLight : kPromptDark);
    if (prompt->isHidden())
        prompt->show();
    prompt->setText(tr("Audio Version:%1").arg(ui->label_xmosVer->text()));
    const QPoint cursor = mapFromGlobal(QCursor::pos());
    const int height = prompt->height();
    prompt->move(cursor.x() + kPromptCursorGapX, cursor.y() - height + kPromptArrowOffsetY + height / 2);
    prompt->raise();
}
