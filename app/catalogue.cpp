#include "catalogue.h"

#include <QDebug>

const QVector<ModelEntry>& modelNameTable()
{
    static const QVector<ModelEntry> table = {
        {0x1D6B, 0x0104, 0, QStringLiteral("PX-K27-000")},
        {0x343B, 0x0103, 1, QStringLiteral("ARDEN 310")},
        {0x343B, 0x0305, 2, QStringLiteral("ARDEN 320")},
        {0x343B, 0x0306, 3, QStringLiteral("ARDEN 330")},
        {0x1D6B, 0x010E, 4, QStringLiteral("QB17-000")},
        {0x343B, 0x010E, 5, QStringLiteral("Orbi TM40")},
        // "QB18Z" must precede "QB18": a name holding the first also holds the second.
        {0x1D6B, 0x0113, 6, QStringLiteral("QB18Z")},
        {0x1D6B, 0xC015, 7, QStringLiteral("QB18")},
        {0x343B, 0x0113, 8, QStringLiteral("Zephyr TM45")},
        {0x1D6B, 0x010C, 9, QStringLiteral("PX-QB-40")},
        {0x343B, 0x010C, 10, QStringLiteral("ARDEN 07K")},
    };
    return table;
}

const QVector<ModelEntry>& modelIdTable()
{
    static const QVector<ModelEntry> table = {
        {0x1D6B, 0x0104, 0, QStringLiteral("PXK27000")}, {0x343B, 0x0103, 1, QStringLiteral("ARDEN310")},
        {0x343B, 0x0305, 2, QStringLiteral("ARDEN320")}, {0x343B, 0x0306, 3, QStringLiteral("ARDEN330")},
        {0x1D6B, 0x010E, 4, QStringLiteral("PXQB1700")}, {0x343B, 0x010E, 5, QStringLiteral("ARDEN350")},
        {0x1D6B, 0x01F6, 6, names::kModelIdQB18Z},       {0x1D6B, 0x01F5, 7, names::kModelIdQB18},
        {0x343B, 0x0113, 8, QStringLiteral("KSTRTM45")},
    };
    return table;
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
    qInfo() << "current open camera model:" << model;
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
    qInfo().noquote() << "credit manufacturer:" << brand.manufacturer;
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
