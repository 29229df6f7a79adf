#pragma once

// The main window on virtual cameras, for the window's tests: a fresh temporary application
// directory (settings file, journal), the virtual platform with the cameras of a configuration,
// the window itself, and the hot-plug notices a camera's arrival or removal produces.
//
// One fixture per test case; create it in init() (or the test function) and destroy it before the
// next one: the destructor closes the window and goes back to the Linux platform.
//
//   WindowFixture f(R"({"cameras": [{"model": 7}]})");
//   QVERIFY2(f.isValid(), qPrintable(f.errorString()));
//   MainWindow* window = f.createWindow();
//   QCOMPARE(f.listedNames(), QStringList{"PX QB18"});
//   f.unplug(0);

#include <QJsonObject>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>
#include <QVector>
#include <QWidget>

#include <functional>
#include <memory>

#include "tests/support/journalreader.h"

class MainWindow;
class VirtualRig;

class WindowFixture
{
public:
    // configuration: the virtual cameras as DECKCTL_VIRTUAL_CAMERA's JSON file holds them.
    // settings: keys written into the application directory's "product.ini" before the window
    // reads it (the brand index "/product_model/main" is 0 unless given).
    explicit WindowFixture(const QByteArray& configuration,
                           const QVector<QPair<QString, QVariant>>& settings = {});
    ~WindowFixture();
    WindowFixture(const WindowFixture&) = delete;
    WindowFixture& operator=(const WindowFixture&) = delete;

    // Shorthand for a settings list with only the brand index.
    static QVector<QPair<QString, QVariant>> brand(int brandIndex);

    bool isValid() const { return m_error.isEmpty(); }
    QString errorString() const { return m_error; }

    // Builds the window (replacing an earlier one), resizes it to size and shows it. setUp, when
    // given, runs on the window right after its construction, before any event is processed: the
    // window's hooks (package chooser, upgrade timing) are in place before a report of its workers
    // (a camera found in a boot stage, for example) reaches it.
    MainWindow* createWindow(const QSize& size = QSize(1400, 800),
                             const std::function<void(MainWindow*)>& setUp = {});
    MainWindow* window() const { return m_window.get(); }
    // Closes the window and deletes it, with the workers it ran.
    void destroyWindow();

    VirtualRig& rig() const { return *m_rig; }
    // The cameras' journal (every request they received), read from its start on first use.
    JournalReader& journal() { return m_journal; }
    QString appDir() const { return m_dir.path(); }
    QString settingsPath() const;

    // The capture interface of camera index as the listing names it: captureOrdinal 0 is the
    // camera's video node, 1 its microphone array's node.
    QString devicePath(int camera, int captureOrdinal = 0) const;
    // Changes camera index's configuration (its JSON form) in place.
    void changeCamera(int camera, const std::function<void(QJsonObject&)>& change);
    // Unplugs camera index and reports the removal of its capture interfaces to the window, the
    // microphone node's first as the system does.
    void unplug(int camera);
    // Plugs camera index in again and reports the arrival of its capture interfaces.
    void plug(int camera);

    // The texts of the camera list, in order.
    QStringList listedNames() const;
    // A widget of the window by object name (nullptr when there is none or no window).
    template <class T> T* widget(const QString& name) const
    {
        QWidget* top = windowWidget();
        return top ? top->findChild<T*>(name) : nullptr;
    }
    QWidget* windowWidget() const;

private:
    void notify(int camera, bool arrival);

    QTemporaryDir m_dir;
    QString m_error;
    VirtualRig* m_rig = nullptr; // owned by the installed platform
    JournalReader m_journal;
    std::unique_ptr<MainWindow> m_window;
};

// Which vendor command blocks vendorCommandCodes() picks.
enum class CommandBlocks
{
    Settings, // blocks that change a setting
    Queries,  // blocks that ask for a value (the query bit set)
};
// The codes of the vendor command blocks of that kind among events, in order.
QVector<int> vendorCommandCodes(const QVector<QJsonObject>& events, CommandBlocks kind);
