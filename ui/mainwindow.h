#pragma once

// The program's main window: the controller between the form, the device objects and the
// workers. Its members are grouped by what they serve; each group is implemented in its own
// source file:
//   mainwindow.cpp           construction, camera list, hot-plug, opening and closing, preview
//   mainwindow_controls.cpp  the control panel (Controls page)
//   mainwindow_shell.cpp     frameless shell, initial size, theme, language, closing
//   mainwindow_upgrade.cpp   factory reset, firmware upgrade and recovery of a stuck camera
//   mainwindow_support.cpp   the Support page: versions, sections, audio-version pop-up, links
// No packets are built here: the window calls the device objects.

#include "app/workerhost.h"
#include "device/dshowcamerawrapper.h"
#include "device/uvcextensionunit.h"

#include <QIcon>
#include <QList>
#include <QMainWindow>
#include <QMargins>
#include <QPixmap>
#include <QPoint>
#include <QPointer>
#include <QSet>
#include <QSize>
#include <QStringList>

#include <functional>
#include <memory>

namespace Ui {
class MainWindow;
}
class HotplugMonitor;
class QListWidgetItem;
class QScrollArea;
class QMovie;
class QTimer;
class QToolButton;
class SpeakerVolume;
struct UpgradeProgress;
struct UpgradeTiming;

class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // A FormCustomizeMessagebox with OK only, centred over the window, modal; with a 5-second
    // countdown when autoClose is true. Boxes do not stack: while one is open, a further text is
    // not shown as a second box.
    void showMessage(const QString& text, bool autoClose);

signals:
    void onCameraPlugged(bool plug, QString path);
    void onCameraState(int state, QString name);

    // ---- camera list, hot-plug, opening and closing, preview ------------------------------
public slots:
    void slotOnCameraPlugged(bool plug, const QString& path);
    void slotOnCameraState(int state, const QString& name);
    void slotOnSingleClickedCameraItem(QListWidgetItem* item);
    void slotIconChangge(QListWidgetItem* current, QListWidgetItem* previous);
    void slotReInitUvcEx();
    void slotStartPreview();
    void stopCameraPreView();
    void slotOnReader(const QPixmap& pixmap);
    // The device part of the native events: one arrival or removal of a capture interface.
    void slotOnDeviceChange(bool arrival, const QString& deviceName);

public:
    void refreshCameraList();
    // Tells the user, once per device, about a camera or a boot-stage device that this user may
    // not open (no udev rule yet): which device, and what gives the access. Returns whether a
    // boot-stage device is among them (a repair could not reach it).
    bool reportDeniedDevices();
    void fillCameraList(const QVector<CameraEntry>& entries);
    bool openCamera(const QString& path, const QString& name);
    void closeCamera();
    void startQueryWorker();
    void stopQueryWorker();
    void startAbnormalWorker();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    Ui::MainWindow* ui;
    QList<QToolButton*> m_navButtons;
    QList<QToolButton*> m_pageButtons;
    DShowCameraWrapper m_dshow;
    WorkerHost m_stream; // VideoStreamThread
    WorkerHost m_query;  // UpdateInfoThread
    QString m_cameraPath;
    QString m_cameraName;
    UVCExtensionUnit m_uvc;
    QString m_cameraVersion;
    QString m_audioVersion;
    int m_hdr = 0;
    int m_flicker = 0;
    int m_mic = 0;
    int m_shutter = 0;
    int m_mirror = 0;
    int m_hdMode = 0;
    int m_trackingMode = 0;
    int m_trackingEffect = 0;
    int m_trackingSpeed = 0;
    bool m_cameraOpen = false;
    bool m_aboutExpanded = true;
    bool m_restoreExpanded = true;
    bool m_supportExpanded = true;
    WorkerHost m_upgrade; // UpgradeThread
    int m_previewW = 0;
    int m_previewH = 0;
    QScrollArea* m_bodyScroll = nullptr; // the content below the title bar, scrolled sideways
    QPointer<QWidget> m_prompt;          // the audio-version pop-up
    QTimer* m_dummyTimer = nullptr;
    int m_dummyProgress = 0;
    bool m_upgrading = false;
    bool m_noCamera = false;
    QSet<QString> m_deniedReported; // the denied devices the user has been told about
    WorkerHost m_abnormal;          // AbnormalDetectThread
    bool m_handlingAbnormal = false;
    int m_manufacturer = 255;
    int m_manufacturerVid = 0;
    int m_model = 255;
    bool m_ptzStale = false;
    std::unique_ptr<SpeakerVolume> m_speaker;
    int m_styleIndex = 0;
    QMovie* m_loadingLight = nullptr;
    QMovie* m_loadingDark = nullptr;
    int m_processMax = 2;
    bool m_previewing = false;
    int m_cameraIndex = -1;
    bool m_bControlsEnable = false;
    bool m_tipPending = false;
    bool m_resettingDefaults = false;
    std::unique_ptr<HotplugMonitor> m_hotplug;

    // Construction steps and helpers of this group.
    void readSettings();     // brand, logged geometry, theme index
    void setUpPreviewArea(); // placeholders, overlay icons, event filter, size
    QIcon normalItemIcon() const;
    static QIcon currentItemIcon();
    void openListedCamera(QListWidgetItem* item); // opens the item's camera unless it is open
    void clearCameraList();
    void closeCameraIfGone(); // after a failed reinit: the camera left without a removal notice
    QMovie* loadingMovie() const;
    void stopLoadingAnimation();
    void stopPreviewWorker();
    void showPreviewPlaceholders();
    void requestPreviewStart(); // the start icon was pressed
    void requestPreviewStop();  // the stop icon was pressed
    void updatePreviewSize();
    // Sizes the content to the scrolled area: its height, at least the width its widgets need.
    void fitBody();
    bool m_openingCamera = false;    // openCamera() runs: a failed request may reopen the unit
    bool m_goneCheckPending = false; // closeCameraIfGone() is on its way

    // ---- control panel --------------------------------------------------------------------
public slots:
    void on_comboBoxTrackMode_currentIndexChanged(int index);
    void on_comboBoxTrackEffect_currentIndexChanged(int index);
    void on_comboBoxTrackSpeend_currentIndexChanged(int index);
    void on_comboBoxAntiFlicker_currentIndexChanged(int index);
    void on_btnMirror_clicked();
    void on_btnHD_clicked();
    void on_btnHDR_clicked();
    void on_btnPreset1Set_clicked();
    void on_btnPreset1Load_clicked();
    void on_btnPreset2Set_clicked();
    void on_btnPreset2Load_clicked();
    void on_btnCameraUp_clicked();
    void on_btnCameraDown_clicked();
    void on_btnCameraLeft_clicked();
    void on_btnCameraRight_clicked();
    void slotOnSetZoomValue(int value);
    void slotOnSetBrightnessValue(int value);
    void slotOnSetContractValue(int value);
    void slotOnSetHueValue(int value);
    void slotOnSetSaturationValue(int value);
    void slotOnSetSharpnessValue(int value);
    void on_btnDefaultColor_clicked();
    void slotShowTips();
    void slotTipsTimeout();
    void slotUpdateSliderValue(bool isQuery = true);
    void slotRemeberYuntaiValue();
    void slotOnUpdateYuntaiValue();
    void slotOnQueryReport(int trackingModeState, int flickerState);
    void buttonClickedNavTop();
    void buttonColorControl();

public:
    void setControlsEnabled(bool enable);
    void initControlsFromCamera();
    void initSliders();
    void refreshControlValues();
    void setPtzEnabled(bool enable, int zoom);
    void updatePanArrows(int value);
    void updateTiltArrows(int value);
    void showSpeedRow(bool show);

private:
    void setUpControlPanel(); // construction step: fill the lists, arrows' auto-repeat

    // Helpers of the control panel.
    // Shows the rows that belong to a tracking mode (and the speed row for smooth framing).
    void applyTrackModeRows(int mode);
    // The style sheet of an arrow ("up", "down", "left", "right") in the current style.
    QString arrowStyle(const char* direction, bool disabled) const;
    void updateArrowPair(QWidget* lower, const char* lowerName, QWidget* upper, const char* upperName,
                         bool atLower, bool atUpper);
    // One arrow step of pan (or tilt) by delta degrees, written and read back.
    void stepPtz(bool pan, int delta);
    // A key pressed on the preview: true when it moved (or would move) the camera.
    bool handlePreviewKey(int key);
    void writeColourValue(int ampId, int value);
    // The delayed "not working" notice of the sliders, at most one per 1.5 s.
    void scheduleTip();
    // The open camera still answers and is still connected.
    bool cameraStillReachable();
    // A vendor set that failed: the time-out notice, unless the camera went away.
    void reportSetFailure(const char* operation);
    void savePreset(int preset);
    void loadPreset(int preset);

    QPointer<QWidget> m_messageBox; // the notice on screen, if any (showMessage)

    // ---- support page -----------------------------------------------------------------------
public slots:
    void on_btnDevInfoExtend_clicked();
    void on_btnDevUpdateExtend_clicked();
    void on_btnDevSupportExtend_clicked();
    void on_btnAudioVersionPrompt_clicked();

public:
    // The three link texts in the given colour ("#000000" light, "#F2F2F2" dark): called on every
    // style change.
    void setSupportLinks(const QString& colour);

private:
    // Construction step: software version, header labels, link targets and texts.
    void setUpSupportPage();
    // One link label in the given colour; hovered: the hover form of its text.
    void showSupportLink(int link, const QString& colour, bool hovered);
    // Hover on link label number link (0 documentation, 1 downloads, 2 support) entered, moved
    // (true) or left (false).
    void supportLinkHovered(int link, bool inside);
    friend class SupportPageFilter;

    QStringList m_linkTargets; // documentation, application and firmware, contact support

    // ---- shell: frameless window, size, theme, language, closing ---------------------------
public slots:
    void on_btnModeLight_clicked();
    void changeStyle(const QString& path);
    void on_btnLanguage_clicked();
    void slotRestartApp();
    void slotResolutionChange();
    void slotScreenCountChanged(int count);

public:
    void setTheme(int index);
    void saveWindowSettings();
    // The link colour of the current theme, for the support page's link texts.
    QString supportLinkColour() const { return m_linkColour; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void setUpShell(); // construction step: title bar, frameless flags, initial size, overlay
    // Construction's last step: buttons take the focus by keyboard only, the camera list has it
    // first, the title bar's buttons come last in the tab order.
    void setUpKeyboardFocus();
    void watchScreen(class QScreen* screen);
    int screenIndex() const;
    void dismissPrompt();      // closes and deletes the audio-version pop-up, if any
    void showUpgradeRunning(); // the refusal of a close or language switch during an upgrade

    friend class TstWindowShell; // sets m_upgrading, which the upgrade flow owns

    class FramelessFrame* m_frame = nullptr;
    bool m_systemMoveTried = false; // the window system was asked to move the window this press
    QString m_linkColour;
    bool m_darkOn = false;
    bool m_mousePressed = false;
    int m_PressedCount = 0;
    QPoint m_dragOffset;
    QSize m_pressSize;
    int m_pressScreen = -1;
    bool m_screenChanged = false;
    QMargins m_baseMargins;
    bool m_extraMarginsApplied = false;

    // ---- upgrade: factory reset, firmware upgrade, recovery of a camera in a boot stage ------
public slots:
    void on_btnRestoreDefaults_clicked();
    void on_btnUpgrade_clicked();
    void slotOnUpgradeReport(bool ok, int progress, const QString& message);
    void slotOnUpdateDummyTimeout();
    void slotOnDeviceAbnormal(int state);

public:
    void startUpgrade();

    // Asks for a package file: (dialog parent, caption, filter) -> the chosen path, empty when
    // cancelled. QFileDialog::getOpenFileName unless replaced (the tests choose their packages).
    std::function<QString(QWidget*, const QString&, const QString&)> chooseUpgradeFile;
    // The waits of the upgrade worker; none given: the worker's own.
    std::shared_ptr<UpgradeTiming> upgradeTiming;

private:
    // Prepares the package on a thread of its own while the window keeps running, with the
    // progress bar as a busy indicator. reason: why it was refused, in plain English.
    int preparePackageInBackground(const QString& archive, bool checkModel, QString* reason);
    // Asks for a package file with parent as the dialog's parent, logging the choice; empty when
    // cancelled.
    QString askForPackage(QWidget* parent);
    // The consent dialog before an upgrade; true when the user agreed.
    bool confirmUpgrade();
    // Leaves the running state after the final report, or after a worker that gave none.
    void finishUpgrade(bool success);
    void onUpgradeWorkerEnded();
    // The worker's step in labelUpgradeStep under the bar, while an upgrade runs.
    void showUpgradeProgress(const UpgradeProgress& progress);
    void showUpgradeStepLabel(bool shown); // shown empty, or hidden and cleared

    bool m_upgradeReported = false; // the running worker gave its final report

    friend class TstWindowUpgrade; // reads m_processMax and m_upgrading, which no widget shows
};
