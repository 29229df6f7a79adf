#include "catalogue.h"

#include "app/logcategories.h"

#include <QDebug>

namespace {

// The model table and the two lookup tables derived from it.
struct Tables
{
    QVector<CameraModel> models;
    QVector<ModelEntry> names;
    QVector<ModelEntry> ids;

    void derive()
    {
        names.clear();
        ids.clear();
        for (const CameraModel& model : models) {
            names.append({model.vendorId, model.productId, model.modelIndex, model.name});
            if (!model.identifier.isEmpty())
                ids.append({model.vendorId, model.identifierProductId, model.modelIndex, model.identifier});
        }
    }
};

Tables& tables()
{
    static Tables instance = [] {
        Tables t;
        // clang-format off
        t.models = {
            // index, vendor id, product id, name, identifier, identifier's product id, package pattern,
            // wildcard position, loader vendor prefix, main board first
            {0,  0x1D6B, 0x0104, QStringLiteral("PX-K27-000"),  QStringLiteral("PXK27000"), 0x0104, "PX-K27-000",  -1, "PX",    false},
            {1,  0x343B, 0x0103, QStringLiteral("ARDEN 310"),   QStringLiteral("ARDEN310"), 0x0103, QByteArray(),  -1, "AR",    false},
            {2,  0x343B, 0x0305, QStringLiteral("ARDEN 320"),   QStringLiteral("ARDEN320"), 0x0305, "ARDEN 320",   -1, "AR",    false},
            {3,  0x343B, 0x0306, QStringLiteral("ARDEN 330"),   QStringLiteral("ARDEN330"), 0x0306, "ARDEN 330",   -1, "AR",    false},
            {4,  0x1D6B, 0x010E, QStringLiteral("QB17-000"),    QStringLiteral("PXQB1700"), 0x010E, "QB17-000",    -1, "PX",    false},
            {5,  0x343B, 0x010E, QStringLiteral("Orbi TM40"),   QStringLiteral("ARDEN350"), 0x010E, "Orbi+TM40",   -1, "AR",    false},
            // "QB18Z" must precede "QB18": a name or an image holding the first also holds the
            // second.
            {6,  0x1D6B, 0x0113, QStringLiteral("QB18Z"),       names::kModelIdQB18Z,       0x01F6, "QB18Z",       -1, "QB18Z", true},
            {7,  0x1D6B, 0xC015, QStringLiteral("QB18"),        names::kModelIdQB18,        0x01F5, "QB18",        -1, "QB18_", false},
            {8,  0x343B, 0x0113, QStringLiteral("Zephyr TM45"), QStringLiteral("KSTRTM45"), 0x0113, "Zephyr?TM45",  6, "AR",    false},
            {9,  0x1D6B, 0x010C, QStringLiteral("PX-QB-40"),    QString(),                  0,      QByteArray(),  -1, "PX",    false},
            {10, 0x343B, 0x010C, QStringLiteral("ARDEN 07K"),   QString(),                  0,      QByteArray(),  -1, "AR",    false},
        };
        // clang-format on
        t.derive();
        return t;
    }();
    return instance;
}

} // namespace

const QVector<CameraModel>& modelTable()
{
    return tables().models;
}

const CameraModel* cameraModel(int modelIndex)
{
    for (const CameraModel& model : modelTable()) {
        if (model.modelIndex == modelIndex)
            return &model;
    }
    return nullptr;
}

bool addModelForTesting(const CameraModel& model)
{
    if (model.modelIndex == kUnknownModel || cameraModel(model.modelIndex))
        return false;
    Tables& t = tables();
    t.models.append(model);
    t.derive();
    return true;
}

bool upgradesMainBoardFirst(int modelIndex)
{
    const CameraModel* model = cameraModel(modelIndex);
    return model && model->mainBoardFirst;
}

const QVector<ModelEntry>& modelNameTable()
{
    return tables().names;
}

const QVector<ModelEntry>& modelIdTable()
{
    return tables().ids;
}

const QVector<BrandEntry>& brandTable()
{
    static const QVector<BrandEntry> table = {
        {0, 0x1D6B, QStringLiteral("PX")},
        {1, 0x343B, QStringLiteral("Kestrelix")},
    };
    return table;
}

const OptionTable& antiFlickerOptions()
{
    static const OptionTable table = {{1, QStringLiteral("50Hz")}, {2, QStringLiteral("60Hz")}};
    return table;
}

const OptionTable& antiFlickerOptionsCN()
{
    static const OptionTable table = {{1, QStringLiteral("50Hz")}, {2, QStringLiteral("60Hz")}};
    return table;
}

const ZoomTable& maxZoomOptions()
{
    static const ZoomTable table = {
        {1.5f, QStringLiteral("1.5x")}, {2.0f, QStringLiteral("2x")}, {3.0f, QStringLiteral("3x")},
        {4.0f, QStringLiteral("4x")},   {5.0f, QStringLiteral("5x")}, {8.0f, QStringLiteral("8x")},
    };
    return table;
}

const OptionTable& trackEffectOptions()
{
    static const OptionTable table = {{1, QStringLiteral("Smooth")}, {0, QStringLiteral("Immediate")}};
    return table;
}

const OptionTable& trackEffectOptionsCN()
{
    static const OptionTable table = {{1, QStringLiteral("平滑移动")}, {0, QStringLiteral("立即切换")}};
    return table;
}

const OptionTable& trackModeOptions()
{
    static const OptionTable table = {
        {1, QStringLiteral("Auto Framing")},
        {2, QStringLiteral("Speaker Tracking")},
        {3, QStringLiteral("Presenter Tracking")},
        {0, QStringLiteral("Off")},
    };
    return table;
}

const OptionTable& trackModeOptionsCN()
{
    static const OptionTable table = {
        {1, QStringLiteral("自动框选")},
        {2, QStringLiteral("发言人特写")},
        {3, QStringLiteral("演讲者跟踪")},
        {0, QStringLiteral("关闭")},
    };
    return table;
}

const OptionTable& trackSpeedOptions()
{
    static const OptionTable table = {
        {0, QStringLiteral("Slow")}, {1, QStringLiteral("Normal")}, {2, QStringLiteral("Fast")}};
    return table;
}

const OptionTable& trackSpeedOptionsCN()
{
    static const OptionTable table = {
        {0, QStringLiteral("较慢")}, {1, QStringLiteral("正常")}, {2, QStringLiteral("较快")}};
    return table;
}

const OptionTable& connectionStateTexts()
{
    static const OptionTable table = {{0, QStringLiteral("CONNECTED")}, {1, QStringLiteral("DISCONNECTED")}};
    return table;
}

const OptionTable& connectionStateTextsCN()
{
    static const OptionTable table = {{0, QStringLiteral("已连接")}, {1, QStringLiteral("未连接")}};
    return table;
}

int modelIndexFromFriendlyName(const QString& friendlyName)
{
    for (const ModelEntry& entry : modelNameTable()) {
        if (friendlyName.contains(entry.name, Qt::CaseInsensitive))
            return entry.modelIndex;
    }
    return kUnknownModel;
}

int identifyModel(const QString& friendlyName)
{
    const int model = modelIndexFromFriendlyName(friendlyName);
    qCInfo(lcApp) << "current open camera model:" << model;
    return model;
}

std::optional<ModelEntry> modelEntry(int modelIndex)
{
    for (const ModelEntry& entry : modelNameTable()) {
        if (entry.modelIndex == modelIndex)
            return entry;
    }
    return std::nullopt;
}

BrandSelection brandFromIndex(int brandIndex)
{
    for (const BrandEntry& entry : brandTable()) {
        if (entry.brandIndex == brandIndex)
            return {entry.manufacturer, entry.vendorId};
    }
    return {};
}

BrandSelection selectBrand(int brandIndex)
{
    BrandSelection brand = brandFromIndex(brandIndex);
    qCInfo(lcApp).noquote() << "credit manufacturer:" << brand.manufacturer;
    return brand;
}

const OptionTable& antiFlickerTable(bool chinese)
{
    return chinese ? antiFlickerOptionsCN() : antiFlickerOptions();
}

const OptionTable& trackEffectTable(bool chinese)
{
    return chinese ? trackEffectOptionsCN() : trackEffectOptions();
}

const OptionTable& trackModeTable(bool chinese)
{
    return chinese ? trackModeOptionsCN() : trackModeOptions();
}

const OptionTable& trackSpeedTable(bool chinese)
{
    return chinese ? trackSpeedOptionsCN() : trackSpeedOptions();
}

std::optional<int> optionValueFromRow(const OptionTable& table, int row)
{
    if (row < 0 || row >= table.size())
        return std::nullopt;
    return table.at(row).value;
}

std::optional<float> zoomFactorFromRow(const ZoomTable& table, int row)
{
    if (row < 0 || row >= table.size())
        return std::nullopt;
    return table.at(row).factor;
}

int rowFromOptionValue(const OptionTable& table, int value)
{
    for (int row = 0; row < table.size(); ++row) {
        if (table.at(row).value == value)
            return row;
    }
    return -1;
}

int rowFromZoomFactor(const ZoomTable& table, float factor)
{
    for (int row = 0; row < table.size(); ++row) {
        // A factor computed from a device value may carry float rounding; compare fuzzily.
        if (qFuzzyCompare(table.at(row).factor, factor))
            return row;
    }
    return -1;
}

QStringList optionTexts(const OptionTable& table)
{
    QStringList texts;
    for (const OptionEntry& entry : table)
        texts << entry.text;
    return texts;
}

QStringList zoomTexts(const ZoomTable& table)
{
    QStringList texts;
    for (const ZoomEntry& entry : table)
        texts << entry.text;
    return texts;
}

QString connectionStateText(int state, bool chinese)
{
    const OptionTable& table = chinese ? connectionStateTextsCN() : connectionStateTexts();
    const int row = rowFromOptionValue(table, state);
    return row < 0 ? QString() : table.at(row).text;
}
