#pragma once

// The camera family and the fixed choices the window offers: brands, models, drop-down option
// tables and a few fixed names. Everything here is immutable, built on first use and only read
// afterwards, so it may be read from any thread. Every lookup is a linear scan in table order,
// because table order decides ties.

#include <QByteArray>
#include <QString>
#include <QVector>

#include <optional>

// The value that stands for "no known model" wherever a model index is held.
constexpr int kUnknownModel = 255;

struct ModelEntry
{
    int vendorId;
    int productId;
    int modelIndex;
    QString name;
};

struct BrandEntry
{
    int brandIndex;
    int vendorId;
    QString manufacturer;
};

struct OptionEntry
{
    int value;
    QString text;
};

struct ZoomEntry
{
    float factor;
    QString text;
};

using OptionTable = QVector<OptionEntry>;
using ZoomTable = QVector<ZoomEntry>;

// One camera model: every fact about a model that the program acts on, in one row. Adding a
// model is adding a row to modelTable(); the lookups below, the package check, the boot stages'
// vendor acceptance, the upgrade order, the listings and the virtual camera all read it.
struct CameraModel
{
    int modelIndex;
    int vendorId;  // USB vendor id in normal operation (also tells the brand, see brandTable())
    int productId; // USB product id in normal operation
    QString name;  // as the camera's friendly name holds it (case ignored)
    // The model's 8-character identifier and the product id listed with it; empty when the model
    // has none.
    QString identifier;
    int identifierProductId;
    // The bytes in a package's main-chip image that name this model (case-sensitive), and the
    // position of a byte in them that matches any value (-1: none). Empty: no package names it.
    QByteArray packagePattern;
    int packageWildcard;
    // The start of the vendor identification that this model's boot stages report; discovery
    // accepts it for the brand whose vendor id the model carries.
    QByteArray loaderVendorPrefix;
    // The model has a separate main (222D) board, which is upgraded before the camera board
    // instead of the audio module.
    bool mainBoardFirst;
};

// Every supported model in table order. Table order decides ties: the first row whose name a
// friendly name holds, and the first row whose package pattern an image holds, wins.
const QVector<CameraModel>& modelTable();
// The row of a model index, or nullptr.
const CameraModel* cameraModel(int modelIndex);
// Appends a model to the table for the rest of the process; for tests that add a model as one
// row. Must be called before any other thread reads the tables. Returns false (and adds nothing)
// for an index that the table already holds or that stands for an unknown model.
bool addModelForTesting(const CameraModel& model);

// Supported models with the name their friendly name carries, in lookup order.
const QVector<ModelEntry>& modelNameTable();
// The 8-character identifiers of the models (the boot stages report these).
const QVector<ModelEntry>& modelIdTable();
const QVector<BrandEntry>& brandTable();
// Whether the model's main board is upgraded before its camera board (false for an unknown
// model).
bool upgradesMainBoardFirst(int modelIndex);

const OptionTable& antiFlickerOptions();
const OptionTable& antiFlickerOptionsCN();
const ZoomTable& maxZoomOptions();
const OptionTable& trackEffectOptions();
const OptionTable& trackEffectOptionsCN();
const OptionTable& trackModeOptions();
const OptionTable& trackModeOptionsCN();
const OptionTable& trackSpeedOptions();
const OptionTable& trackSpeedOptionsCN();
const OptionTable& connectionStateTexts();
const OptionTable& connectionStateTextsCN();

// Fixed names.
namespace names {
inline const QString kSettingsFileName = QStringLiteral("product.ini");
inline const QString kLogFilePath = QStringLiteral("~/.ld/ld.log");
inline const QString kSpeakerDeviceName = QStringLiteral("Speakerphone");
inline const QString kMainChipImageName = QStringLiteral("miservice.ubifs");
inline const QString kAudioImageSuffix = QStringLiteral("dfu");
inline const QString kVidMarker = QStringLiteral("vid_");
inline const QString kPidMarker = QStringLiteral("pid_");
inline const QString kIdSeparator = QStringLiteral("&");
inline const QString kSupportUrl = QStringLiteral("https://www.lumadeck.com/support");
inline const QString kLinkUrl1 = QStringLiteral("https:///");
inline const QString kLinkUrl2 = QStringLiteral("https:///");
// Model identifiers that the boot-stage identification compares against directly.
inline const QString kModelIdQB18Z = QStringLiteral("QB18ZUSB");
inline const QString kModelIdQB18 = QStringLiteral("QB18_001");
} // namespace names

// Model index of the first catalogue entry whose name occurs in the friendly name (ignoring
// case), or kUnknownModel. Logs nothing; see identifyModel().
int modelIndexFromFriendlyName(const QString& friendlyName);
// As above, and logs the result the way opening a camera records it.
int identifyModel(const QString& friendlyName);
// The catalogue entry of a model index, if there is one.
std::optional<ModelEntry> modelEntry(int modelIndex);

struct BrandSelection
{
    QString manufacturer; // empty when the index matches no brand
    int vendorId = 0;     // 0 when the index matches no brand, so no camera passes the filter
};
// The brand of a configured brand index. Logs nothing; see selectBrand().
BrandSelection brandFromIndex(int brandIndex);
// As above, and logs the manufacturer the installation serves.
BrandSelection selectBrand(int brandIndex);

// The table's language edition: the Chinese one when chinese is true.
const OptionTable& antiFlickerTable(bool chinese);
const OptionTable& trackEffectTable(bool chinese);
const OptionTable& trackModeTable(bool chinese);
const OptionTable& trackSpeedTable(bool chinese);

// Device value of a drop-down row; empty for a row outside the table.
std::optional<int> optionValueFromRow(const OptionTable& table, int row);
std::optional<float> zoomFactorFromRow(const ZoomTable& table, int row);
// First row carrying the value, or -1.
int rowFromOptionValue(const OptionTable& table, int value);
int rowFromZoomFactor(const ZoomTable& table, float factor);
// Display texts of a table in row order.
QStringList optionTexts(const OptionTable& table);
QStringList zoomTexts(const ZoomTable& table);

// Connection state 0 (connected) or 1 (disconnected) as text; empty for other values.
QString connectionStateText(int state, bool chinese);
