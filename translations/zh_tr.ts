<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>MainWindow</name>
    <message>
        <source>MY DEVICES</source>
        <translation>我的设备</translation>
    </message>
    <message>
        <source>No camera is connected.</source>
        <translation>没有连接摄像头。</translation>
    </message>
</context>
<context>
    <name>UpgradeThread</name>
    <message>
        <source>The device is not able to upgrade, please try again.</source>
        <translation>设备无法升级，请重试。</translation>
    </message>
    <message>
        <source>No device detected, please make sure your device is connected correctly.</source>
        <translation>未检测到设备，请确认设备已正确连接。</translation>
    </message>
    <message>
        <source>Upgrade done.</source>
        <translation>升级完成。</translation>
    </message>
    <message>
        <source>Upgrade failed.</source>
        <translation>升级失败。</translation>
    </message>
    <message>
        <source>XMOS Upgrade failed</source>
        <translation>XMOS 音频模块升级失败</translation>
    </message>
</context>
<context>
    <name>Zip7z</name>
    <message>
        <source>The file check is complete and normal.</source>
        <translation>文件检查完成，一切正常。</translation>
    </message>
    <message>
        <source>Unable to perform decompression</source>
        <translation>无法解压缩</translation>
    </message>
</context>
</TS>
