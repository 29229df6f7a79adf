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
</TS>
