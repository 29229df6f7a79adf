// The control panel of the main window (the "Controls" page): the vendor settings sent through
// the extension unit, the standard controls written through the camera wrapper, the rows shown
// for each tracking mode, the pan/tilt arrows and the notices that a failed change produces.

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "app/catalogue.h"
#include "app/globals.h"
#include "app/logcategories.h"
#include "device/cameracontroltable.h"
#include "device/dshowcamerawrapper.h"
#include "device/speakervolume.h"
#include "ui/formcustomizemessagebox.h"
#include "ui/theme.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDebug>
#include <QGraphicsOpacityEffect>
#include <QKeyEvent>
#include <QLabel>
#include <QSignalBlocker>
#include <QSlider>
#include <QStackedWidget>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <array>
#include <functional>
#include <optional>

namespace {

// Pan and tilt move by one degree a step, never beyond these bounds (the camera's own range may
// narrow them further).
constexpr int kPtzLimit = 30;
constexpr int kPtzStep = 1;
// Zoom in hundredths: 100 is 1.0x; the arrows only move a zoomed-in picture.
constexpr int kZoomMinimum = 100;
constexpr int kZoomMaximum = 800;
constexpr int kZoomStep = 10;
// A held arrow repeats after 500 ms, then every 200 ms.
constexpr int kArrowRepeatDelayMs = 500;
constexpr int kArrowRepeatIntervalMs = 200;
// The remembered position is written back this long after the mode "Off" was chosen.
constexpr int kRememberDelayMs = 100;
// A read-back that differs shows its notice after 500 ms, and no further one for 1500 ms.
constexpr int kTipShowDelayMs = 500;
constexpr int kTipResetDelayMs = 1500;
// The framing effect whose transitions are immediate has no speed.
constexpr int kEffectImmediate = 0;
constexpr int kEffectSmooth = 1;
constexpr int kModeOff = 0;
constexpr int kModeAutoFraming = 1;

// The usable arrows' pictures of the two themes, %1 the direction ("up", "down", "left", "right").
const char* const kArrowLight = ":/qss/light/icon-arrow-%1.png";
const char* const kArrowDark = ":/qss/dark/icon-arrow-%1-dark.png";

const char* const kTimedOutText =
    QT_TRANSLATE_NOOP("MainWindow", "The operation has timed out, please try again.");
const char* const kNotWorkingText =
    QT_TRANSLATE_NOOP("MainWindow", "Any change in the setting takes effect only if the camera is working.");
const char* const kHdNoticeText = QT_TRANSLATE_NOOP(
    "MainWindow", "Turn on for better image quality and turn off for better compatibility."
                  "To complete this process, your device may take a few seconds to restart.");

CameraControlTable& controlTable()
{
    return CameraControlTable::instance();
}

// g_pan, g_tilt and g_zoom: the current values of the shared control table.
int currentValue(CameraControl control)
{
    return controlTable().get(control).current;
}

void setCurrentValue(CameraControl control, int value)
{
    controlTable().setCurrent(control, value);
}

// The bounds one arrow step keeps to: +-30, narrowed to the range the camera reported.
int upperPtzLimit(CameraControl axis)
{
    const ControlValues values = controlTable().get(axis);
    if (values.minimum >= values.maximum)
        return kPtzLimit;
    return std::clamp(values.maximum, -kPtzLimit, kPtzLimit);
}

int lowerPtzLimit(CameraControl axis)
{
    const ControlValues values = controlTable().get(axis);
    if (values.minimum >= values.maximum)
        return -kPtzLimit;
    return std::clamp(values.minimum, -kPtzLimit, kPtzLimit);
}

// One picture control of the "Color Adjustment" page.
struct ColourRow
{
    CameraControl control;
    int ampId;
    QSlider* slider;
    QLabel* valueLabel;
    QCheckBox* autoBox;
};

std::array<ColourRow, 5> colourRows(Ui::MainWindow* form)
{
    return {{
        {CameraControl::Brightness, video_proc_amp_id::Brightness, form->sliderBrightness,
         form->labelBrightnessValue, form->checkBoxBrightnessAuto},
        {CameraControl::Contrast, video_proc_amp_id::Contrast, form->sliderContract, form->labelContractValue,
         form->checkBoxContractAuto},
        {CameraControl::Hue, video_proc_amp_id::Hue, form->sliderHue, form->labelHueValue,
         form->checkBoxHueAuto},
        {CameraControl::Saturation, video_proc_amp_id::Saturation, form->sliderSaturation,
         form->labelSaturationValue, form->checkBoxSaturationAuto},
        {CameraControl::Sharpness, video_proc_amp_id::Sharpness, form->sliderSharpness,
         form->labelSharpnessValue, form->checkBoxSharpnessAuto},
    }};
}

QString zoomText(int zoom)
{
    return QStringLiteral("%1x").arg(zoom / 100.0, 0, 'f', 1);
}

void fillList(QComboBox* list, const OptionTable& table)
{
    const QSignalBlocker blocker(list);
    list->clear();
    for (const OptionEntry& entry : table)
        list->addItem(entry.text, entry.value);
}

// Key presses on the preview move the camera: the arrows pan and tilt, + and - zoom.
class PreviewKeyFilter : public QObject
{
public:
    PreviewKeyFilter(std::function<bool(int)> handler, QObject* parent)
        : QObject(parent), m_handler(std::move(handler))
    {
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::KeyPress && m_handler(static_cast<QKeyEvent*>(event)->key()))
            return true;
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<bool(int)> m_handler;
};

} // namespace

// ---- set-up --------------------------------------------------------------------------------

void MainWindow::setUpControlPanel()
{
    fillList(ui->comboBoxAntiFlicker, antiFlickerTable(languageCN));
    fillList(ui->comboBoxTrackMode, trackModeTable(languageCN));
    fillList(ui->comboBoxTrackEffect, trackEffectTable(languageCN));
    fillList(ui->comboBoxTrackSpeend, trackSpeedTable(languageCN));
    {
        const QSignalBlocker modeBlocker(ui->comboBoxTrackMode);
        const QSignalBlocker effectBlocker(ui->comboBoxTrackEffect);
        ui->comboBoxTrackMode->setCurrentIndex(0);
        ui->comboBoxTrackEffect->setCurrentIndex(0);
    }
    applyTrackModeRows(ui->comboBoxTrackMode->currentData().toInt());

    ui->btnMirror->setCheckable(true);
    ui->btnHD->setCheckable(true);
    ui->btnVideoControl->setChecked(true);

    for (QAbstractButton* arrow :
         {static_cast<QAbstractButton*>(ui->btnCameraUp), static_cast<QAbstractButton*>(ui->btnCameraDown),
          static_cast<QAbstractButton*>(ui->btnCameraLeft),
          static_cast<QAbstractButton*>(ui->btnCameraRight)}) {
        arrow->setAutoRepeat(true);
        arrow->setAutoRepeatDelay(kArrowRepeatDelayMs);
        arrow->setAutoRepeatInterval(kArrowRepeatIntervalMs);
    }

    // The Auto check boxes stay hidden; ticking one hands the control to the camera.
    for (const ColourRow& row : colourRows(ui)) {
        const int ampId = row.ampId;
        const CameraControl control = row.control;
        QSlider* slider = row.slider;
        connect(row.autoBox, &QCheckBox::toggled, this, [this, ampId, control, slider](bool checked) {
            if (checked)
                m_dshow.setVideoProcAmpAuto(ampId, controlTable().get(control).defaultValue);
            else
                m_dshow.setVideoProcAmp(ampId, currentValue(control));
            slider->setEnabled(!checked);
            initSliders();
        });
    }

    // The preview takes the keyboard focus, and its keys drive the arrows and the zoom.
    ui->labPreview->setFocusPolicy(Qt::StrongFocus);
    ui->labPreview->installEventFilter(
        new PreviewKeyFilter([this](int key) { return handlePreviewKey(key); }, this));
}

// ---- row visibility ------------------------------------------------------------------------

void MainWindow::applyTrackModeRows(int mode)
{
    const bool framing = mode == kModeAutoFraming;
    ui->widgetTrackOff->setVisible(mode == kModeOff);
    ui->label_16->setVisible(framing);
    ui->comboBoxTrackEffect->setVisible(framing);
    ui->widgetEffect->setVisible(framing);
    const QVariant effect = ui->comboBoxTrackEffect->currentData();
    showSpeedRow(framing && !(effect.isValid() && effect.toInt() == kEffectImmediate));
}

void MainWindow::showSpeedRow(bool show)
{
    ui->label_17->setVisible(show);
    ui->comboBoxTrackSpeend->setVisible(show);
    ui->widgetSpeed->setVisible(show);
    qCDebug(lcUi) << (show ? "----speed show ----" : "----speed hide ----");
}

// ---- enabling ------------------------------------------------------------------------------

void MainWindow::setControlsEnabled(bool enable)
{
    if (m_previewing) {
        ui->labelloading->hide();
        ui->labelTips->hide();
    } else {
        ui->labelloading->hide();
        ui->labelStop->hide();
        ui->labelTips->show();
    }
    // Without an open camera the start icon looks disabled; a click still answers as before.
    if (auto* dim = qobject_cast<QGraphicsOpacityEffect*>(ui->labelTips->graphicsEffect()))
        dim->setEnabled(!m_cameraOpen);

    qCDebug(lcUi) << "set controls enable." << enable;
    setPtzEnabled(enable, currentValue(CameraControl::Zoom));

    const std::array<ColourRow, 5> rows = colourRows(ui);
    ui->sliderZoom->setEnabled(enable);
    for (const ColourRow& row : rows) {
        row.slider->setEnabled(enable);
        row.autoBox->setEnabled(enable);
    }
    for (QWidget* widget : std::initializer_list<QWidget*>{
             ui->btnDefaultColor, ui->comboBoxAntiFlicker, ui->btnHDR, ui->btnMirror, ui->btnHD,
             ui->comboBoxTrackEffect, ui->comboBoxTrackMode, ui->comboBoxTrackSpeend, ui->btnPreset1Set,
             ui->btnPreset1Load, ui->btnPreset2Set, ui->btnPreset2Load})
        widget->setEnabled(enable);
    // A camera that comes back during an upgrade is the camera being upgraded: neither a second
    // upgrade nor a factory reset may start until the running one has its result.
    ui->btnUpgrade->setEnabled(enable && !m_upgrading);
    ui->btnRestoreDefaults->setEnabled(enable && !m_upgrading);
    ui->checkBoxSaturationAuto->setEnabled(false);
    ui->checkBoxBrightnessAuto->setEnabled(false);
    ui->checkBoxSharpnessAuto->setEnabled(false);

    if (!enable) {
        setCurrentValue(CameraControl::Zoom, kZoomMinimum);
        ui->sliderZoom->setValue(kZoomMinimum);
        ui->sliderZoom->setMinimum(kZoomMinimum);
        if (!m_cameraOpen) {
            for (const ColourRow& row : rows)
                row.slider->setValue(controlTable().get(row.control).minimum);
        }
    }
}

// ---- pan/tilt arrows -----------------------------------------------------------------------

QString MainWindow::arrowStyle(const char* direction, bool disabled) const
{
    const QString name = QString::fromLatin1(direction);
    if (disabled)
        return theme::arrowStyle(theme::disabledArrow(m_styleIndex, name));
    return theme::arrowStyle(
        QString::fromLatin1(m_styleIndex == theme::kLight ? kArrowLight : kArrowDark).arg(name));
}

void MainWindow::setPtzEnabled(bool enable, int zoom)
{
    m_bControlsEnable = enable && zoom > kZoomMinimum;
    qCDebug(lcUi) << "m_bControlsEnable:" << m_bControlsEnable;
    for (QWidget* arrow : std::initializer_list<QWidget*>{ui->btnCameraUp, ui->btnCameraDown,
                                                          ui->btnCameraLeft, ui->btnCameraRight})
        arrow->setEnabled(m_bControlsEnable);
    ui->widgetDirectionBg->setCursor(m_bControlsEnable ? Qt::ArrowCursor : Qt::ForbiddenCursor);
    // Usable: each pair by its position; not usable: the "-disable" image on all four.
    updatePanArrows(currentValue(CameraControl::Pan));
    updateTiltArrows(currentValue(CameraControl::Tilt));
}

void MainWindow::updateArrowPair(QWidget* lower, const char* lowerName, QWidget* upper, const char* upperName,
                                 bool atLower, bool atUpper)
{
    // Arrows that cannot be used at all show the "-disable" image on both.
    const bool usable = m_bControlsEnable;
    const bool lowerOff = !usable || atLower;
    const bool upperOff = !usable || atUpper;
    lower->setStyleSheet(arrowStyle(lowerName, lowerOff));
    upper->setStyleSheet(arrowStyle(upperName, upperOff));
    lower->setCursor(lowerOff ? Qt::ForbiddenCursor : Qt::ArrowCursor);
    upper->setCursor(upperOff ? Qt::ForbiddenCursor : Qt::ArrowCursor);
}

void MainWindow::updatePanArrows(int value)
{
    updateArrowPair(ui->btnCameraLeft, "left", ui->btnCameraRight, "right",
                    value <= lowerPtzLimit(CameraControl::Pan), value >= upperPtzLimit(CameraControl::Pan));
}

void MainWindow::updateTiltArrows(int value)
{
    updateArrowPair(ui->btnCameraDown, "down", ui->btnCameraUp, "up",
                    value <= lowerPtzLimit(CameraControl::Tilt), value >= upperPtzLimit(CameraControl::Tilt));
}

void MainWindow::stepPtz(bool pan, int delta)
{
    if (m_ptzStale) {
        int value = 0;
        m_dshow.getCameraControl(camera_control_id::Pan, value);
        m_dshow.getCameraControl(camera_control_id::Tilt, value);
        m_dshow.getCameraControl(camera_control_id::Zoom, value);
        slotOnUpdateYuntaiValue();
        m_ptzStale = false;
    }
    const CameraControl axis = pan ? CameraControl::Pan : CameraControl::Tilt;
    const int id = pan ? camera_control_id::Pan : camera_control_id::Tilt;
    const int value = std::clamp(currentValue(axis) + delta, lowerPtzLimit(axis), upperPtzLimit(axis));
    setCurrentValue(axis, value);
    if (pan)
        updatePanArrows(value);
    else
        updateTiltArrows(value);
    m_dshow.setCameraControl(id, value);
    int readBack = value;
    // A read-back that fails (no camera bound, camera gone) shows nothing.
    if (m_dshow.getCameraControl(id, readBack) && readBack != value)
        showMessage(tr(kNotWorkingText), true);
    qCDebug(lcUi) << (pan ? "g_pan:" : "g_tilt:") << value;
}

void MainWindow::on_btnCameraUp_clicked()
{
    stepPtz(false, kPtzStep);
}

void MainWindow::on_btnCameraDown_clicked()
{
    stepPtz(false, -kPtzStep);
}

void MainWindow::on_btnCameraLeft_clicked()
{
    stepPtz(true, -kPtzStep);
}

void MainWindow::on_btnCameraRight_clicked()
{
    stepPtz(true, kPtzStep);
}

void MainWindow::slotOnUpdateYuntaiValue()
{
    const int tilt = std::min(currentValue(CameraControl::Tilt), upperPtzLimit(CameraControl::Tilt));
    setCurrentValue(CameraControl::Tilt, tilt);
    updateTiltArrows(tilt);
    m_dshow.setCameraControl(camera_control_id::Tilt, tilt);
    const int pan = std::max(currentValue(CameraControl::Pan), lowerPtzLimit(CameraControl::Pan));
    setCurrentValue(CameraControl::Pan, pan);
    updatePanArrows(pan);
    m_dshow.setCameraControl(camera_control_id::Pan, pan);
    ui->sliderZoom->setValue(currentValue(CameraControl::Zoom));
}

void MainWindow::slotRemeberYuntaiValue()
{
    slotOnUpdateYuntaiValue();
    slotOnSetZoomValue(currentValue(CameraControl::Zoom));
}

bool MainWindow::handlePreviewKey(int key)
{
    QAbstractButton* arrow = nullptr;
    switch (key) {
    case Qt::Key_Up:
        arrow = ui->btnCameraUp;
        break;
    case Qt::Key_Down:
        arrow = ui->btnCameraDown;
        break;
    case Qt::Key_Left:
        arrow = ui->btnCameraLeft;
        break;
    case Qt::Key_Right:
        arrow = ui->btnCameraRight;
        break;
    case Qt::Key_Plus:
    case Qt::Key_Equal:
    case Qt::Key_Minus: {
        if (!ui->sliderZoom->isEnabled())
            return true;
        const int step = ui->sliderZoom->singleStep();
        ui->sliderZoom->setValue(ui->sliderZoom->value() + (key == Qt::Key_Minus ? -step : step));
        return true;
    }
    default:
        return false;
    }
    if (arrow->isEnabled())
        arrow->click();
    return true;
}

// ---- sliders -------------------------------------------------------------------------------

void MainWindow::initSliders()
{
    m_dshow.queryControlRanges(m_cameraIndex);

    const ControlValues zoom = controlTable().get(CameraControl::Zoom);
    ui->sliderZoom->setRange(zoom.minimum, zoom.maximum);
    ui->sliderZoom->setSingleStep(kZoomStep);
    ui->sliderZoom->setValue(zoom.current);
    ui->labelZoomValue->setText(zoomText(zoom.current));
    connect(ui->sliderZoom, &QSlider::valueChanged, this, &MainWindow::slotOnSetZoomValue,
            Qt::UniqueConnection);

    for (const ColourRow& row : colourRows(ui)) {
        const ControlValues values = controlTable().get(row.control);
        row.slider->setRange(values.minimum, values.maximum);
        row.slider->setSingleStep(1);
        row.slider->setValue(values.current);
        row.valueLabel->setText(QStringLiteral("%1").arg(values.current));
    }
    connect(ui->sliderBrightness, &QSlider::valueChanged, this, &MainWindow::slotOnSetBrightnessValue,
            Qt::UniqueConnection);
    connect(ui->sliderContract, &QSlider::valueChanged, this, &MainWindow::slotOnSetContractValue,
            Qt::UniqueConnection);
    connect(ui->sliderHue, &QSlider::valueChanged, this, &MainWindow::slotOnSetHueValue,
            Qt::UniqueConnection);
    connect(ui->sliderSaturation, &QSlider::valueChanged, this, &MainWindow::slotOnSetSaturationValue,
            Qt::UniqueConnection);
    connect(ui->sliderSharpness, &QSlider::valueChanged, this, &MainWindow::slotOnSetSharpnessValue,
            Qt::UniqueConnection);
}

void MainWindow::refreshControlValues()
{
    slotUpdateSliderValue(true);
}

void MainWindow::slotUpdateSliderValue(bool isQuery)
{
    if (isQuery)
        m_dshow.queryControlRanges(m_cameraIndex);
    const int zoom = currentValue(CameraControl::Zoom);
    ui->sliderZoom->setValue(zoom);
    ui->labelZoomValue->setText(zoomText(ui->sliderZoom->value()));
    for (const ColourRow& row : colourRows(ui)) {
        const int value = currentValue(row.control);
        row.slider->setValue(value);
        row.valueLabel->setText(QStringLiteral("%1").arg(row.slider->value()));
    }
}

void MainWindow::slotOnSetZoomValue(int value)
{
    setCurrentValue(CameraControl::Zoom, value);
    if (m_dshow.setCameraControl(camera_control_id::Zoom, value))
        qCDebug(lcUi) << "set g_zoom finished!!!";
    ui->labelZoomValue->setText(zoomText(value));
    setPtzEnabled(true, value);
    m_ptzStale = true;
    int readBack = value;
    if (m_dshow.getCameraControl(camera_control_id::Zoom, readBack) && readBack != value)
        scheduleTip();
}

void MainWindow::writeColourValue(int ampId, int value)
{
    for (const ColourRow& row : colourRows(ui)) {
        if (row.ampId != ampId)
            continue;
        row.valueLabel->setText(QStringLiteral("%1").arg(value));
        // While its Auto box is ticked the camera owns the value: a manual write would take the
        // control back from it.
        if (row.autoBox->isChecked())
            return;
        m_dshow.setVideoProcAmp(ampId, value);
        int readBack = value;
        if (m_dshow.getVideoProcAmp(ampId, readBack) && readBack != value)
            scheduleTip();
        return;
    }
}

void MainWindow::slotOnSetBrightnessValue(int value)
{
    writeColourValue(video_proc_amp_id::Brightness, value);
}

void MainWindow::slotOnSetContractValue(int value)
{
    writeColourValue(video_proc_amp_id::Contrast, value);
}

void MainWindow::slotOnSetHueValue(int value)
{
    writeColourValue(video_proc_amp_id::Hue, value);
}

void MainWindow::slotOnSetSaturationValue(int value)
{
    writeColourValue(video_proc_amp_id::Saturation, value);
}

void MainWindow::slotOnSetSharpnessValue(int value)
{
    writeColourValue(video_proc_amp_id::Sharpness, value);
}

void MainWindow::scheduleTip()
{
    if (!m_cameraOpen || m_previewing || m_resettingDefaults || m_tipPending)
        return;
    m_tipPending = true;
    QTimer::singleShot(kTipResetDelayMs, this, &MainWindow::slotTipsTimeout);
    QTimer::singleShot(kTipShowDelayMs, this, &MainWindow::slotShowTips);
}

void MainWindow::slotShowTips()
{
    // The camera may have gone in the half second since the change.
    if (m_cameraOpen)
        showMessage(tr(kNotWorkingText), true);
    slotUpdateSliderValue(false);
}

void MainWindow::slotTipsTimeout()
{
    m_tipPending = false;
}

void MainWindow::on_btnDefaultColor_clicked()
{
    m_resettingDefaults = true;
    // The order the camera expects: brightness, hue, contrast, saturation, sharpness.
    const std::array<std::pair<CameraControl, int>, 5> order = {{
        {CameraControl::Brightness, video_proc_amp_id::Brightness},
        {CameraControl::Hue, video_proc_amp_id::Hue},
        {CameraControl::Contrast, video_proc_amp_id::Contrast},
        {CameraControl::Saturation, video_proc_amp_id::Saturation},
        {CameraControl::Sharpness, video_proc_amp_id::Sharpness},
    }};
    for (const auto& [control, ampId] : order)
        m_dshow.setVideoProcAmp(ampId, controlTable().get(control).defaultValue);
    refreshControlValues();
    if (m_cameraOpen && !m_previewing) {
        const std::array<ColourRow, 5> rows = colourRows(ui);
        const bool differs = std::any_of(rows.begin(), rows.end(), [](const ColourRow& row) {
            return row.slider->value() != controlTable().get(row.control).defaultValue;
        });
        if (differs)
            showMessage(tr(kNotWorkingText), true);
    }
    m_resettingDefaults = false;
}

// ---- vendor settings -----------------------------------------------------------------------

bool MainWindow::cameraStillReachable()
{
    if (!m_cameraOpen || !m_uvc.isOpen())
        return false;
    // A failed request re-opens the unit; a camera that was unplugged meanwhile is no longer
    // listed, even before its removal notice arrives.
    QVector<CameraEntry> entries;
    m_dshow.listVideoDevices(entries);
    return std::any_of(entries.begin(), entries.end(), [this](const CameraEntry& entry) {
        return entry.id.compare(m_cameraPath, Qt::CaseInsensitive) == 0;
    });
}

void MainWindow::reportSetFailure(const char* operation)
{
    if (!cameraStillReachable()) {
        qCDebug(lcUi) << operation << "failed; the camera is gone, no notice shown.";
        return;
    }
    showMessage(tr(kTimedOutText), false);
}

void MainWindow::on_comboBoxTrackMode_currentIndexChanged(int index)
{
    if (!m_cameraOpen)
        return;
    const std::optional<int> mode = optionValueFromRow(trackModeTable(languageCN), index);
    if (!mode)
        return;
    applyTrackModeRows(*mode);
    if (m_uvc.setTrackingMode(*mode))
        m_trackingMode = *mode;
    else
        reportSetFailure("setTrackingMode");
    if (!m_cameraOpen)
        return;

    if (*mode == kModeOff) {
        qCDebug(lcUi) << "sliderZoom:" << ui->sliderZoom->value();
        QTimer::singleShot(kRememberDelayMs, this, &MainWindow::slotRemeberYuntaiValue);
    } else if (*mode == kModeAutoFraming) {
        // The camera's own effect and speed; shown without being sent back.
        int effect = 0;
        if (m_uvc.getAutoframEffect(effect)) {
            m_trackingEffect = effect;
            const QSignalBlocker blocker(ui->comboBoxTrackEffect);
            ui->comboBoxTrackEffect->setCurrentIndex(
                rowFromOptionValue(trackEffectTable(languageCN), effect));
        }
        const QVariant shown = ui->comboBoxTrackEffect->currentData();
        if (shown.isValid() && shown.toInt() == kEffectSmooth) {
            int speed = 0;
            if (m_uvc.getAutoFrameSpeed(speed)) {
                m_trackingSpeed = speed;
                const QSignalBlocker blocker(ui->comboBoxTrackSpeend);
                ui->comboBoxTrackSpeend->setCurrentIndex(
                    rowFromOptionValue(trackSpeedTable(languageCN), speed));
            }
            showSpeedRow(true);
        } else {
            showSpeedRow(false);
        }
    }

    int queried = -1;
    m_uvc.getTrackingMode(queried);
    qCDebug(lcUi) << "Set tracking mode:" << *mode << ", query value:" << queried;
}

void MainWindow::on_comboBoxTrackEffect_currentIndexChanged(int index)
{
    if (!m_cameraOpen)
        return;
    const std::optional<int> effect = optionValueFromRow(trackEffectTable(languageCN), index);
    if (!effect)
        return;
    int mode = -1;
    if (m_uvc.getTrackingMode(mode) && mode == kModeAutoFraming) {
        if (m_uvc.setTrackingffect(*effect))
            m_trackingEffect = *effect;
        else
            reportSetFailure("setTrackingffect");
        int queried = -1;
        m_uvc.getAutoframEffect(queried);
        qCDebug(lcUi) << "Set tracking effect:" << *effect << ", query value:" << queried;
    }
    // The effect row shows in auto framing only; there the speed belongs to smooth transitions.
    if (ui->comboBoxTrackMode->currentData().toInt() == kModeAutoFraming)
        showSpeedRow(*effect != kEffectImmediate);
}

void MainWindow::on_comboBoxTrackSpeend_currentIndexChanged(int index)
{
    if (!m_cameraOpen)
        return;
    const std::optional<int> speed = optionValueFromRow(trackSpeedTable(languageCN), index);
    if (!speed)
        return;
    int mode = -1;
    if (!m_uvc.getTrackingMode(mode) || mode != kModeAutoFraming)
        return;
    if (m_uvc.setTrackingSpeed(*speed))
        m_trackingSpeed = *speed;
    else
        reportSetFailure("setTrackingSpeed");
    int queried = -1;
    m_uvc.getAutoFrameSpeed(queried);
    qCDebug(lcUi) << "Set tracking speed:" << *speed << ", query value:" << queried;
}

void MainWindow::on_comboBoxAntiFlicker_currentIndexChanged(int index)
{
    if (!m_cameraOpen)
        return;
    const std::optional<int> flicker = optionValueFromRow(antiFlickerTable(languageCN), index);
    if (!flicker)
        return;
    if (m_uvc.setFlicker(*flicker))
        m_flicker = *flicker;
    else
        reportSetFailure("setFlicker");
    int queried = -1;
    m_uvc.getFlickerInfo(queried);
    qCDebug(lcUi) << "Set Flicker:" << queried;
}

void MainWindow::on_btnMirror_clicked()
{
    if (!m_cameraOpen)
        return;
    m_mirror = m_mirror == 0 ? 1 : 0;
    if (!m_uvc.setMirror(m_mirror))
        reportSetFailure("setMirror");
    int queried = -1;
    m_uvc.getMirror(queried);
    qCDebug(lcUi) << "Set mirror:" << queried;
}

void MainWindow::on_btnHD_clicked()
{
    if (!m_cameraOpen)
        return;
    m_hdMode = m_hdMode == 0 ? 1 : 0;
    if (!m_uvc.setHD(m_hdMode))
        reportSetFailure("setHD");
    if (!cameraStillReachable()) {
        qCDebug(lcUi) << "HD mode: the camera is gone, no notice shown.";
        return;
    }
    showMessage(tr(kHdNoticeText), true);
}

void MainWindow::on_btnHDR_clicked()
{
    if (!m_cameraOpen)
        return;
    m_hdr = m_hdr == 0 ? 1 : 0;
    if (!m_uvc.sethdr(m_hdr))
        reportSetFailure("sethdr");
    int queried = -1;
    m_uvc.gethdr(queried);
    qCDebug(lcUi) << "Set HDR:" << queried;
}

void MainWindow::savePreset(int preset)
{
    if (!m_cameraOpen)
        return;
    if (!m_uvc.setPreset(preset))
        reportSetFailure("setPreset");
    qCDebug(lcUi).noquote() << QStringLiteral("Set preset%1.").arg(preset);
}

void MainWindow::loadPreset(int preset)
{
    if (!m_cameraOpen)
        return;
    if (!m_uvc.setLoad(preset)) {
        reportSetFailure("setLoad");
        return;
    }
    // The camera moved: its position is read back now and again before the next arrow step.
    m_ptzStale = true;
    int value = 0;
    m_dshow.getCameraControl(camera_control_id::Pan, value);
    m_dshow.getCameraControl(camera_control_id::Tilt, value);
    m_dshow.getCameraControl(camera_control_id::Zoom, value);
    updatePanArrows(currentValue(CameraControl::Pan));
    updateTiltArrows(currentValue(CameraControl::Tilt));
    qCDebug(lcUi).noquote() << QStringLiteral("Load preset%1.").arg(preset);
}

void MainWindow::on_btnPreset1Set_clicked()
{
    savePreset(1);
}

void MainWindow::on_btnPreset1Load_clicked()
{
    loadPreset(1);
}

void MainWindow::on_btnPreset2Set_clicked()
{
    savePreset(2);
}

void MainWindow::on_btnPreset2Load_clicked()
{
    loadPreset(2);
}

// ---- reading the camera --------------------------------------------------------------------

void MainWindow::initControlsFromCamera()
{
    // 1. model
    ui->labelDevModel->setText(m_cameraName);
    // 2. firmware version
    QString version;
    if (m_uvc.getCameraVersion(version)) {
        m_cameraVersion = version;
        ui->labelDevVer->setText(QStringLiteral("V%1").arg(version));
    }
    // 3. audio-module version
    if (m_uvc.getAudioVersion(version)) {
        m_audioVersion = version;
        ui->label_xmosVer->setText(QStringLiteral("V%1").arg(version));
        ui->btnAudioVersionPrompt->show();
    }
    // 4. HDR
    int value = 0;
    if (m_uvc.gethdr(value)) {
        m_hdr = value;
        ui->btnHDR->setChecked(value != 0);
    }
    // 5. power-line frequency
    if (m_uvc.getFlickerInfo(value)) {
        qCDebug(lcUi) << "flicker state: " << value;
        m_flicker = value;
        ui->comboBoxAntiFlicker->setCurrentIndex(rowFromOptionValue(antiFlickerTable(languageCN), value));
    }
    // 6. microphone
    if (m_uvc.getMICInfo(value))
        m_mic = value;
    // 7. standard controls
    initSliders();
    // 8. position
    const int zoom = std::clamp(currentValue(CameraControl::Zoom), kZoomMinimum, kZoomMaximum);
    setCurrentValue(CameraControl::Zoom, zoom);
    qCDebug(lcUi) << "param:"
                  << "pan:" << currentValue(CameraControl::Pan)
                  << "tilt:" << currentValue(CameraControl::Tilt) << "zoom:" << zoom;
    // 9. speaker
    m_speaker = std::make_unique<SpeakerVolume>(names::kSpeakerDeviceName);
    qCDebug(lcUi) << "speaker volume:" << m_speaker->getVolume();
    // 10. maximum zoom
    std::uint16_t maxZoom = 0;
    if (m_uvc.getMAXZoomInfo(maxZoom)) {
        qCDebug(lcUi) << "query max zoom:" << maxZoom;
        ui->sliderZoom->setMaximum(maxZoom);
    }
    ui->sliderZoom->setValue(currentValue(CameraControl::Zoom));
    // 11. mirror and HD
    if (m_uvc.getMirror(value)) {
        m_mirror = value;
        ui->btnMirror->setChecked(value != 0);
    }
    if (m_uvc.getHDInfo(value)) {
        m_hdMode = value;
        ui->btnHD->setChecked(value != 0);
    }
    // 12. tracking mode
    if (m_uvc.getTrackingMode(value)) {
        qCDebug(lcUi) << "tracking mode state: " << value;
        m_trackingMode = value;
        ui->comboBoxTrackMode->setCurrentIndex(rowFromOptionValue(trackModeTable(languageCN), value));
        applyTrackModeRows(value);
        if (value == kModeOff) {
            qCDebug(lcUi) << "sliderZoom:" << ui->sliderZoom->value();
            QTimer::singleShot(kRememberDelayMs, this, &MainWindow::slotRemeberYuntaiValue);
        }
    }
    // 13. framing effect and speed
    if (m_trackingMode == kModeAutoFraming) {
        if (m_uvc.getAutoframEffect(value)) {
            qCDebug(lcUi) << "tracking effect state: " << value;
            m_trackingEffect = value;
            ui->comboBoxTrackEffect->setCurrentIndex(rowFromOptionValue(trackEffectTable(languageCN), value));
            showSpeedRow(value != kEffectImmediate);
        }
        if (m_uvc.getAutoFrameSpeed(value)) {
            qCDebug(lcUi) << "tracking speend state: " << value;
            m_trackingSpeed = value;
            ui->comboBoxTrackSpeend->setCurrentIndex(rowFromOptionValue(trackSpeedTable(languageCN), value));
        }
    }
}

void MainWindow::slotOnQueryReport(int trackingModeState, int flickerState)
{
    qCDebug(lcUi) << "MainWindow::slotOnQueryReport" << trackingModeState;
    ui->comboBoxTrackMode->setCurrentIndex(rowFromOptionValue(trackModeTable(languageCN), trackingModeState));
    const int flickerRow = rowFromOptionValue(antiFlickerTable(languageCN), flickerState);
    ui->comboBoxAntiFlicker->setCurrentIndex(flickerRow);
    qCDebug(lcUi) << "MainWindow::slotOnQueryReport" << flickerRow;
    slotUpdateSliderValue(false);
}

// ---- pages ---------------------------------------------------------------------------------

void MainWindow::buttonClickedNavTop()
{
    auto* clicked = qobject_cast<QAbstractButton*>(sender());
    if (clicked != ui->btnNavControl && clicked != ui->btnNavSupport)
        return;
    const int page = clicked == ui->btnNavControl ? 0 : 1;
    ui->btnNavControl->setChecked(page == 0);
    ui->btnNavSupport->setChecked(page == 1);
    ui->stackedWidgetMain->setCurrentIndex(page);
    dismissPrompt();
    if (page == 0 && m_cameraOpen)
        refreshControlValues();
}

void MainWindow::buttonColorControl()
{
    auto* clicked = qobject_cast<QAbstractButton*>(sender());
    if (clicked != ui->btnVideoControl && clicked != ui->btnColorControl)
        return;
    const int page = clicked == ui->btnVideoControl ? 0 : 1;
    ui->btnVideoControl->setChecked(page == 0);
    ui->btnColorControl->setChecked(page == 1);
    ui->stackedWidgetControl->setCurrentIndex(page);
    dismissPrompt();
    if (page == 1 && m_cameraOpen)
        refreshControlValues();
}

// ---- notices -------------------------------------------------------------------------------

void MainWindow::showMessage(const QString& text, bool autoClose)
{
    // One box at a time: a burst of failures shows the first and logs the rest.
    if (m_messageBox) {
        qCDebug(lcUi).noquote() << "Notice not shown while another is open:" << text;
        return;
    }
    FormCustomizeMessagebox box(text, 0, autoClose, this);
    box.move(pos() + QPoint((width() - box.width()) / 2, (height() - box.height()) / 2));
    m_messageBox = &box;
    box.exec();
}
