#include "app/catalogue.h"

#include <QtTest>

class TstCatalogue : public QObject
{
    Q_OBJECT
private slots:
    void modelIdentification_data();
    void modelIdentification();
    void modelTablesAreConsistent();
    void modelTableHoldsTheFamily();
    void brandSelection_data();
    void brandSelection();
    void optionRowsMapToDeviceValues_data();
    void optionRowsMapToDeviceValues();
    void valueWithoutRow();
    void zoomRows();
    void languageEditionsAlign();
    void connectionStateTexts();
};

void TstCatalogue::modelIdentification_data()
{
    QTest::addColumn<QString>("friendlyName");
    QTest::addColumn<int>("model");
    QTest::newRow("QB18Z wins over QB18") << "USB QB18Z Camera" << 6;
    QTest::newRow("QB18") << "USB QB18 Camera" << 7;
    QTest::newRow("lower case") << "my arden 320 bar" << 2;
    QTest::newRow("first of every model") << "PX-K27-000" << 0;
    QTest::newRow("last model") << "Kestrelix ARDEN 07K" << 10;
    QTest::newRow("name inside a longer word") << "xxZephyr TM45yy" << 8;
    QTest::newRow("unknown") << "Integrated Webcam" << kUnknownModel;
    QTest::newRow("empty") << "" << kUnknownModel;
    QTest::newRow("near miss") << "ARDEN310" << kUnknownModel;
}

void TstCatalogue::modelIdentification()
{
    QFETCH(QString, friendlyName);
    QFETCH(int, model);
    QCOMPARE(modelIndexFromFriendlyName(friendlyName), model);
    QTest::ignoreMessage(QtInfoMsg, qPrintable(QStringLiteral("current open camera model: %1").arg(model)));
    QCOMPARE(identifyModel(friendlyName), model);
}

void TstCatalogue::modelTablesAreConsistent()
{
    // Eleven models, indexed 0..10 in table order; each catalogue name identifies its own model.
    QCOMPARE(modelNameTable().size(), 11);
    for (int i = 0; i < modelNameTable().size(); ++i) {
        const ModelEntry& entry = modelNameTable().at(i);
        QCOMPARE(entry.modelIndex, i);
        QCOMPARE(modelIndexFromFriendlyName(entry.name), i);
        QVERIFY(modelEntry(i).has_value());
    }
    QVERIFY(!modelEntry(kUnknownModel).has_value());
    QCOMPARE(modelIdTable().size(), 9);
    for (const ModelEntry& id : modelIdTable())
        QCOMPARE(id.name.size(), 8);
    QCOMPARE(modelIdTable().at(6).name, QStringLiteral("QB18ZUSB"));
    QCOMPARE(modelIdTable().at(7).productId, 0x01F5);
}

void TstCatalogue::modelTableHoldsTheFamily()
{
    // The camera family as it is documented, written here once; the model table must hold
    // exactly this.
    struct Named
    {
        int index;
        const char* name;
        int vendorId;
        int productId;
    };
    const Named catalogue[] = {
        {0, "PX-K27-000", 0x1D6B, 0x0104},  {1, "ARDEN 310", 0x343B, 0x0103},
        {2, "ARDEN 320", 0x343B, 0x0305},   {3, "ARDEN 330", 0x343B, 0x0306},
        {4, "QB17-000", 0x1D6B, 0x010E},    {5, "Orbi TM40", 0x343B, 0x010E},
        {6, "QB18Z", 0x1D6B, 0x0113},       {7, "QB18", 0x1D6B, 0xC015},
        {8, "Zephyr TM45", 0x343B, 0x0113}, {9, "PX-QB-40", 0x1D6B, 0x010C},
        {10, "ARDEN 07K", 0x343B, 0x010C},
    };
    const Named identifiers[] = {
        {0, "PXK27000", 0x1D6B, 0x0104}, {1, "ARDEN310", 0x343B, 0x0103}, {2, "ARDEN320", 0x343B, 0x0305},
        {3, "ARDEN330", 0x343B, 0x0306}, {4, "PXQB1700", 0x1D6B, 0x010E}, {5, "ARDEN350", 0x343B, 0x010E},
        {6, "QB18ZUSB", 0x1D6B, 0x01F6}, {7, "QB18_001", 0x1D6B, 0x01F5}, {8, "KSTRTM45", 0x343B, 0x0113},
    };
    // Package patterns in the order they are tried; '?' marks the byte that matches any value.
    const std::pair<const char*, int> patterns[] = {
        {"PX-K27-000", 0}, {"ARDEN 320", 2}, {"ARDEN 330", 3}, {"QB17-000", 4},
        {"Orbi+TM40", 5},  {"QB18Z", 6},     {"QB18", 7},      {"Zephyr?TM45", 8},
    };
    // Vendor identification prefixes that discovery accepts per brand, beyond the chip's own.
    const QMap<int, QSet<QByteArray>> loaderVendors = {{0, {"PX", "QB18Z", "QB18_"}}, {1, {"AR"}}};

    const auto compare = [](const QVector<ModelEntry>& table, const auto& expected) {
        QCOMPARE(table.size(), int(std::size(expected)));
        for (int i = 0; i < table.size(); ++i) {
            const ModelEntry& entry = table.at(i);
            QCOMPARE(entry.modelIndex, expected[i].index);
            QCOMPARE(entry.name, QString::fromLatin1(expected[i].name));
            QCOMPARE(entry.vendorId, expected[i].vendorId);
            QCOMPARE(entry.productId, expected[i].productId);
        }
    };
    compare(modelNameTable(), catalogue);
    compare(modelIdTable(), identifiers);

    QVector<std::pair<QByteArray, int>> tried;
    QMap<int, QSet<QByteArray>> vendors;
    QVector<int> mainBoardFirst;
    for (const CameraModel& model : modelTable()) {
        if (!model.packagePattern.isEmpty()) {
            QByteArray pattern = model.packagePattern;
            if (model.packageWildcard >= 0)
                pattern[model.packageWildcard] = '?';
            tried.append({pattern, model.modelIndex});
        }
        for (const BrandEntry& brand : brandTable()) {
            if (brand.vendorId == model.vendorId)
                vendors[brand.brandIndex].insert(model.loaderVendorPrefix);
        }
        if (model.mainBoardFirst)
            mainBoardFirst.append(model.modelIndex);
        QCOMPARE(upgradesMainBoardFirst(model.modelIndex), model.mainBoardFirst);
    }
    QCOMPARE(tried.size(), int(std::size(patterns)));
    for (int i = 0; i < tried.size(); ++i) {
        QCOMPARE(tried.at(i).first, QByteArray(patterns[i].first));
        QCOMPARE(tried.at(i).second, patterns[i].second);
    }
    QCOMPARE(vendors, loaderVendors);
    // Only the model with a separate main board has it upgraded first.
    QCOMPARE(mainBoardFirst, QVector<int>{6});
    QVERIFY(!upgradesMainBoardFirst(kUnknownModel));
}

void TstCatalogue::brandSelection_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("manufacturer");
    QTest::addColumn<int>("vendorId");
    QTest::newRow("PX") << 0 << "PX" << 0x1D6B;
    QTest::newRow("Kestrelix") << 1 << "Kestrelix" << 0x343B;
    QTest::newRow("unknown index") << 5 << "" << 0;
    QTest::newRow("negative") << -1 << "" << 0;
}

void TstCatalogue::brandSelection()
{
    QFETCH(int, index);
    QFETCH(QString, manufacturer);
    QFETCH(int, vendorId);
    QTest::ignoreMessage(QtInfoMsg, qPrintable(QStringLiteral("credit manufacturer: %1").arg(manufacturer)));
    const BrandSelection brand = selectBrand(index);
    QCOMPARE(brand.manufacturer, manufacturer);
    QCOMPARE(brand.vendorId, vendorId);
}

void TstCatalogue::optionRowsMapToDeviceValues_data()
{
    QTest::addColumn<int>("table");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("value");
    // Rows are not values: "Off" is the last row with value 0, "Immediate" the second with 0.
    QTest::newRow("track mode Off") << 0 << 3 << 0;
    QTest::newRow("track mode Auto Framing") << 0 << 0 << 1;
    QTest::newRow("track mode Presenter") << 0 << 2 << 3;
    QTest::newRow("effect Immediate") << 1 << 1 << 0;
    QTest::newRow("effect Smooth") << 1 << 0 << 1;
    QTest::newRow("speed Fast") << 2 << 2 << 2;
    QTest::newRow("anti-flicker 60Hz") << 3 << 1 << 2;
}

static const OptionTable& tableByNumber(int number, bool chinese)
{
    switch (number) {
    case 0:
        return trackModeTable(chinese);
    case 1:
        return trackEffectTable(chinese);
    case 2:
        return trackSpeedTable(chinese);
    default:
        return antiFlickerTable(chinese);
    }
}

void TstCatalogue::optionRowsMapToDeviceValues()
{
    QFETCH(int, table);
    QFETCH(int, row);
    QFETCH(int, value);
    for (bool chinese : {false, true}) {
        const OptionTable& options = tableByNumber(table, chinese);
        QCOMPARE(optionValueFromRow(options, row), std::optional<int>(value));
        QCOMPARE(rowFromOptionValue(options, value), row);
    }
}

void TstCatalogue::valueWithoutRow()
{
    QCOMPARE(rowFromOptionValue(trackModeOptions(), 4), -1);
    QCOMPARE(rowFromOptionValue(antiFlickerOptions(), 0), -1);
    QVERIFY(!optionValueFromRow(trackModeOptions(), 4).has_value());
    QVERIFY(!optionValueFromRow(trackModeOptions(), -1).has_value());
}

void TstCatalogue::zoomRows()
{
    QCOMPARE(zoomFactorFromRow(maxZoomOptions(), 5), std::optional<float>(8.0f));
    QCOMPARE(zoomFactorFromRow(maxZoomOptions(), 0), std::optional<float>(1.5f));
    QVERIFY(!zoomFactorFromRow(maxZoomOptions(), 6).has_value());
    QCOMPARE(rowFromZoomFactor(maxZoomOptions(), 1.5f), 0);
    QCOMPARE(rowFromZoomFactor(maxZoomOptions(), 4.0f), 3);
    QCOMPARE(rowFromZoomFactor(maxZoomOptions(), 6.0f), -1);
    QCOMPARE(zoomTexts(maxZoomOptions()), QStringList({"1.5x", "2x", "3x", "4x", "5x", "8x"}));
}

void TstCatalogue::languageEditionsAlign()
{
    // The two editions of a table must carry the same values row by row, or a Chinese list would
    // send another value than its English twin.
    for (int number = 0; number < 4; ++number) {
        const OptionTable& english = tableByNumber(number, false);
        const OptionTable& chinese = tableByNumber(number, true);
        QCOMPARE(english.size(), chinese.size());
        for (int row = 0; row < english.size(); ++row)
            QCOMPARE(english.at(row).value, chinese.at(row).value);
    }
    QCOMPARE(optionTexts(trackModeOptionsCN()),
             QStringList({"自动框选", "发言人特写", "演讲者跟踪", "关闭"}));
    QCOMPARE(optionTexts(trackEffectOptions()), QStringList({"Smooth", "Immediate"}));
}

void TstCatalogue::connectionStateTexts()
{
    QCOMPARE(connectionStateText(0, false), QStringLiteral("CONNECTED"));
    QCOMPARE(connectionStateText(1, false), QStringLiteral("DISCONNECTED"));
    QCOMPARE(connectionStateText(0, true), QStringLiteral("已连接"));
    QCOMPARE(connectionStateText(1, true), QStringLiteral("未连接"));
    QCOMPARE(connectionStateText(2, false), QString());
}

QTEST_APPLESS_MAIN(TstCatalogue)
#include "tst_catalogue.moc"
