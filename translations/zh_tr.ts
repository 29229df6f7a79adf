<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>FormAbnormal</name>
    <message>
        <source>Upgrade prompt</source>
        <translation>升级提示</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>Upgrade</source>
        <translation>升级</translation>
    </message>
</context>
<context>
    <name>FormCustomizeMessagebox</name>
    <message>
        <source>Form</source>
        <translation>窗体</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>确定</translation>
    </message>
    <message>
        <source>The window will close automatically after %1 seconds.</source>
        <translation>窗口将在 %1 秒后自动关闭。</translation>
    </message>
</context>
<context>
    <name>FormPrompt</name>
    <message>
        <source>Form</source>
        <translation>窗体</translation>
    </message>
</context>
<context>
    <name>FormUpgrade</name>
    <message>
        <source>Form</source>
        <translation>窗体</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>确定</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>MY DEVICES</source>
        <translation>我的设备</translation>
    </message>
    <message>
        <source>Brand logo</source>
        <translation>品牌标志</translation>
    </message>
    <message>
        <source>Cameras</source>
        <translation>摄像头</translation>
    </message>
    <message>
        <source>Controls</source>
        <translation>控制</translation>
    </message>
    <message>
        <source>Controls page</source>
        <translation>控制页面</translation>
    </message>
    <message>
        <source>Support</source>
        <translation>支持</translation>
    </message>
    <message>
        <source>Support page</source>
        <translation>支持页面</translation>
    </message>
    <message>
        <source>Video</source>
        <translation>视频</translation>
    </message>
    <message>
        <source>Color Adjustment</source>
        <translation>色彩调节</translation>
    </message>
    <message>
        <source>Color adjustment</source>
        <translation>色彩调节</translation>
    </message>
    <message>
        <source>Tracking Mode</source>
        <translation>跟踪模式</translation>
    </message>
    <message>
        <source>Tracking mode</source>
        <translation>跟踪模式</translation>
    </message>
    <message>
        <source>Effect</source>
        <translation>效果</translation>
    </message>
    <message>
        <source>Framing effect</source>
        <translation>取景效果</translation>
    </message>
    <message>
        <source>Speed</source>
        <translation>速度</translation>
    </message>
    <message>
        <source>Framing speed</source>
        <translation>取景速度</translation>
    </message>
    <message>
        <source>Zoom</source>
        <translation>变焦</translation>
    </message>
    <message>
        <source>1.0x</source>
        <translation>1.0x</translation>
    </message>
    <message>
        <source>Zoom value</source>
        <translation>变焦倍数</translation>
    </message>
    <message>
        <source>Preset 1</source>
        <translation>预置位 1</translation>
    </message>
    <message>
        <source>Set</source>
        <translation>设置</translation>
    </message>
    <message>
        <source>Set preset 1</source>
        <translation>设置预置位 1</translation>
    </message>
    <message>
        <source>Load</source>
        <translation>调用</translation>
    </message>
    <message>
        <source>Load preset 1</source>
        <translation>调用预置位 1</translation>
    </message>
    <message>
        <source>Preset 2</source>
        <translation>预置位 2</translation>
    </message>
    <message>
        <source>Set preset 2</source>
        <translation>设置预置位 2</translation>
    </message>
    <message>
        <source>Load preset 2</source>
        <translation>调用预置位 2</translation>
    </message>
    <message>
        <source>Pan and tilt</source>
        <translation>云台方向</translation>
    </message>
    <message>
        <source>Tilt up</source>
        <translation>向上</translation>
    </message>
    <message>
        <source>Pan left</source>
        <translation>向左</translation>
    </message>
    <message>
        <source>Pan right</source>
        <translation>向右</translation>
    </message>
    <message>
        <source>Tilt down</source>
        <translation>向下</translation>
    </message>
    <message>
        <source>HD Mode</source>
        <translation>高清模式</translation>
    </message>
    <message>
        <source>HD mode</source>
        <translation>高清模式</translation>
    </message>
    <message>
        <source>Anti-Flicker</source>
        <translation>抗闪烁</translation>
    </message>
    <message>
        <source>Anti-flicker</source>
        <translation>抗闪烁</translation>
    </message>
    <message>
        <source>Mirror</source>
        <translation>镜像</translation>
    </message>
    <message>
        <source>HDR</source>
        <translation>HDR</translation>
    </message>
    <message>
        <source>Auto</source>
        <translation>自动</translation>
    </message>
    <message>
        <source>Brightness</source>
        <translation>亮度</translation>
    </message>
    <message>
        <source>0</source>
        <translation>0</translation>
    </message>
    <message>
        <source>Brightness value</source>
        <translation>亮度值</translation>
    </message>
    <message>
        <source>Brightness automatic</source>
        <translation>自动亮度</translation>
    </message>
    <message>
        <source>Contrast</source>
        <translation>对比度</translation>
    </message>
    <message>
        <source>Contrast value</source>
        <translation>对比度值</translation>
    </message>
    <message>
        <source>Contrast automatic</source>
        <translation>自动对比度</translation>
    </message>
    <message>
        <source>Hue</source>
        <translation>色调</translation>
    </message>
    <message>
        <source>Hue value</source>
        <translation>色调值</translation>
    </message>
    <message>
        <source>Hue automatic</source>
        <translation>自动色调</translation>
    </message>
    <message>
        <source>Saturation</source>
        <translation>饱和度</translation>
    </message>
    <message>
        <source>Saturation value</source>
        <translation>饱和度值</translation>
    </message>
    <message>
        <source>Saturation automatic</source>
        <translation>自动饱和度</translation>
    </message>
    <message>
        <source>Sharpness</source>
        <translation>锐度</translation>
    </message>
    <message>
        <source>Sharpness value</source>
        <translation>锐度值</translation>
    </message>
    <message>
        <source>Sharpness automatic</source>
        <translation>自动锐度</translation>
    </message>
    <message>
        <source>Default Settings</source>
        <translation>默认设置</translation>
    </message>
    <message>
        <source>Default settings</source>
        <translation>默认设置</translation>
    </message>
    <message>
        <source>About</source>
        <translation>关于</translation>
    </message>
    <message>
        <source>Show or hide About</source>
        <translation>显示或隐藏“关于”</translation>
    </message>
    <message>
        <source>Software Version:</source>
        <translation>软件版本：</translation>
    </message>
    <message>
        <source>V1.3.4</source>
        <translation>V1.3.4</translation>
    </message>
    <message>
        <source>Software version</source>
        <translation>软件版本</translation>
    </message>
    <message>
        <source>Firmware:</source>
        <translation>固件：</translation>
    </message>
    <message>
        <source>Firmware version</source>
        <translation>固件版本</translation>
    </message>
    <message>
        <source>i</source>
        <translation>i</translation>
    </message>
    <message>
        <source>Show audio version</source>
        <translation>显示音频版本</translation>
    </message>
    <message>
        <source>Upgrade</source>
        <translation>升级</translation>
    </message>
    <message>
        <source>Upgrade firmware</source>
        <translation>升级固件</translation>
    </message>
    <message>
        <source>Upgrade progress</source>
        <translation>升级进度</translation>
    </message>
    <message>
        <source>Audio Version:</source>
        <translation>音频版本：</translation>
    </message>
    <message>
        <source>Audio version</source>
        <translation>音频版本</translation>
    </message>
    <message>
        <source>Model:</source>
        <translation>型号：</translation>
    </message>
    <message>
        <source>Model</source>
        <translation>型号</translation>
    </message>
    <message>
        <source>Restore</source>
        <translation>恢复</translation>
    </message>
    <message>
        <source>Show or hide Restore</source>
        <translation>显示或隐藏“恢复”</translation>
    </message>
    <message>
        <source>Restore Factory Defaults</source>
        <translation>恢复出厂设置</translation>
    </message>
    <message>
        <source>Restore factory defaults</source>
        <translation>恢复出厂设置</translation>
    </message>
    <message>
        <source>Show or hide Support</source>
        <translation>显示或隐藏“支持”</translation>
    </message>
    <message>
        <source>Documentation</source>
        <translation>文档</translation>
    </message>
    <message>
        <source>Application and Firmware</source>
        <translation>应用程序和固件</translation>
    </message>
    <message>
        <source>Application and firmware</source>
        <translation>应用程序和固件</translation>
    </message>
    <message>
        <source>Contact Support</source>
        <translation>联系支持</translation>
    </message>
    <message>
        <source>Contact support</source>
        <translation>联系支持</translation>
    </message>
    <message>
        <source>Camera</source>
        <translation>摄像头</translation>
    </message>
    <message>
        <source>Camera name</source>
        <translation>摄像头名称</translation>
    </message>
    <message>
        <source>Connection state</source>
        <translation>连接状态</translation>
    </message>
    <message>
        <source>Preview</source>
        <translation>预览</translation>
    </message>
    <message>
        <source>Click the icon to start preview.</source>
        <translation>点击图标开始预览。</translation>
    </message>
    <message>
        <source>Start preview</source>
        <translation>开始预览</translation>
    </message>
    <message>
        <source>Stop preview</source>
        <translation>停止预览</translation>
    </message>
    <message>
        <source>Starting preview</source>
        <translation>正在启动预览</translation>
    </message>
    <message>
        <source>Other apps can&apos;t access the camera while you preview it on this app.</source>
        <translation>在本应用中预览时，其他应用无法访问摄像头。</translation>
    </message>
    <message>
        <source>The operation has timed out, please try again.</source>
        <translation>操作超时，请重试。</translation>
    </message>
    <message>
        <source>Any change in the setting takes effect only if the camera is working.</source>
        <translation>设置的更改仅在摄像头工作时生效。</translation>
    </message>
    <message>
        <source>Turn on for better image quality and turn off for better compatibility.To complete this process, your device may take a few seconds to restart.</source>
        <translation>开启可获得更好的画质，关闭可获得更好的兼容性。为完成此过程，设备可能需要几秒钟重新启动。</translation>
    </message>
    <message>
        <source>Cannot exit during the upgrade process!</source>
        <translation>升级过程中无法退出！</translation>
    </message>
    <message>
        <source>Kestrelix Orbi needs to restart to switch the default language.</source>
        <translation>Kestrelix Orbi 需要重新启动以切换默认语言。</translation>
    </message>
    <message>
        <source>&lt;style&gt; a {text-decoration: none} &lt;/style&gt;&lt;a style=&apos;color: #595959;&apos; href=&quot;%1/&quot;&gt;Documentation</source>
        <translation>&lt;style&gt; a {text-decoration: none} &lt;/style&gt;&lt;a style=&apos;color: #595959;&apos; href=&quot;%1/&quot;&gt;文档</translation>
    </message>
    <message>
        <source>&lt;style&gt; a {text-decoration: none} &lt;/style&gt;&lt;a style=&apos;color: #595959;&apos; href=&quot;%1/&quot;&gt;Application and Firmware</source>
        <translation>&lt;style&gt; a {text-decoration: none} &lt;/style&gt;&lt;a style=&apos;color: #595959;&apos; href=&quot;%1/&quot;&gt;应用程序和固件</translation>
    </message>
    <message>
        <source>&lt;style&gt; a {text-decoration: none} &lt;/style&gt;&lt;a style=&apos;color: #595959;&apos; href=&quot;%1/&quot;&gt;Contact Support</source>
        <translation>&lt;style&gt; a {text-decoration: none} &lt;/style&gt;&lt;a style=&apos;color: #595959;&apos; href=&quot;%1/&quot;&gt;联系支持</translation>
    </message>
    <message>
        <source>&lt;style&gt; a {text-decoration: none} &lt;/style&gt;&lt;a style=&apos;color: %2;&apos; href=&quot;%1&quot; target=_blank&gt;Documentation&lt;/a&gt;</source>
        <translation>&lt;style&gt; a {text-decoration: none} &lt;/style&gt;&lt;a style=&apos;color: %2;&apos; href=&quot;%1&quot; target=_blank&gt;文档&lt;/a&gt;</translation>
    </message>
    <message>
        <source>&lt;style&gt; a {text-decoration: none} &lt;/style&gt;&lt;a style=&apos;color: %2;&apos; href=&quot;%1&quot; target=_blank&gt;Application and Firmware&lt;/a&gt;</source>
        <translation>&lt;style&gt; a {text-decoration: none} &lt;/style&gt;&lt;a style=&apos;color: %2;&apos; href=&quot;%1&quot; target=_blank&gt;应用程序和固件&lt;/a&gt;</translation>
    </message>
    <message>
        <source>&lt;style&gt; a {text-decoration: none} &lt;/style&gt;&lt;a style=&apos;color: %2;&apos; href=&quot;%1/&quot;&gt;Application and Firmware</source>
        <translation>&lt;style&gt; a {text-decoration: none} &lt;/style&gt;&lt;a style=&apos;color: %2;&apos; href=&quot;%1/&quot;&gt;应用程序和固件</translation>
    </message>
    <message>
        <source>&lt;style&gt; a {text-decoration: none} &lt;/style&gt;&lt;a style=&apos;color: %2;&apos; href=&quot;%1/&quot;&gt;Contact Support</source>
        <translation>&lt;style&gt; a {text-decoration: none} &lt;/style&gt;&lt;a style=&apos;color: %2;&apos; href=&quot;%1/&quot;&gt;联系支持</translation>
    </message>
    <message>
        <source>Audio Version:%1</source>
        <translation>音频版本：%1</translation>
    </message>
    <message>
        <source>&lt;h3&gt;Restore Factory Defaults&lt;/h3&gt;<byte value="xd"/>
Are you sure you want to reset your device to factory settings? The current settings will be completely removed, and your device may take several seconds to reboot. Please keep your device connected during the whole resetting process.</source>
        <translation>&lt;h3&gt;恢复出厂设置&lt;/h3&gt;<byte value="xd"/>
确定要将设备恢复为出厂设置吗？当前设置将被全部清除，设备可能需要几秒钟重新启动。在整个恢复过程中请保持设备连接。</translation>
    </message>
    <message>
        <source>To complete this process, your device may take a few seconds to restart.</source>
        <translation>为完成此过程，设备可能需要几秒钟重新启动。</translation>
    </message>
    <message>
        <source>&lt;h3&gt;Unable to upgrade. &lt;/h3&gt;<byte value="xd"/>
 The format of firmware file is not correct.</source>
        <translation>&lt;h3&gt;无法升级。&lt;/h3&gt;<byte value="xd"/>
 固件文件格式不正确。</translation>
    </message>
    <message>
        <source>&lt;h3&gt;Unable to upgrade. &lt;/h3&gt;<byte value="xd"/>
 The upgrade file is corrupted.</source>
        <translation>&lt;h3&gt;无法升级。&lt;/h3&gt;<byte value="xd"/>
 升级文件已损坏。</translation>
    </message>
    <message>
        <source>&lt;h3&gt;Unable to upgrade. &lt;/h3&gt;<byte value="xd"/>
 The upgrade version does not match this device.</source>
        <translation>&lt;h3&gt;无法升级。&lt;/h3&gt;<byte value="xd"/>
 升级版本与此设备不匹配。</translation>
    </message>
    <message>
        <source>&lt;h3&gt;Get Ready to Upgrade.&lt;/h3&gt;Make sure your device is not being used by another application before upgrading.&lt;br&gt;&lt;br&gt;This process may take several minutes. &lt;br&gt;&lt;br&gt;&lt;b&gt;Do not disconnect your device&lt;/b&gt; during the upgrade process.</source>
        <translation>&lt;h3&gt;准备升级。&lt;/h3&gt;升级前请确保设备没有被其他应用程序占用。&lt;br&gt;&lt;br&gt;此过程可能需要几分钟。&lt;br&gt;&lt;br&gt;升级过程中&lt;b&gt;请勿断开设备&lt;/b&gt;。</translation>
    </message>
    <message>
        <source>&lt;h3&gt; Upgrade is done! &lt;/h3&gt;<byte value="xd"/>
 The device is initializing, don&apos;t power off.</source>
        <translation>&lt;h3&gt; 升级完成！&lt;/h3&gt;<byte value="xd"/>
 设备正在初始化，请勿断电。</translation>
    </message>
    <message>
        <source>&lt;h3&gt;Upgrade Failed! &lt;/h3&gt;<byte value="xd"/>
 Please unplug and re-plug the device and try again.</source>
        <translation>&lt;h3&gt;升级失败！&lt;/h3&gt;<byte value="xd"/>
 请拔下并重新插入设备后再试。</translation>
    </message>
    <message>
        <source>Open File</source>
        <translation>打开文件</translation>
    </message>
    <message>
        <source>Upgrade File(*.zip)</source>
        <translation>升级文件(*.zip)</translation>
    </message>
    <message>
        <source>&lt;h3&gt;Unknown Exception Detected&lt;/h3&gt;<byte value="xd"/>
Upgrade was interrupted by an unknown exception, please try again.&lt;br&gt;&lt;br&gt;&lt;b&gt;The audio module will not be upgraded&lt;/b&gt; if the status is abnormal.&lt;p&gt;For the latest application and firmware, &lt;a style=&apos;color:#42a5f5;&apos; href=&quot;https:///&quot;&gt;please click here.&lt;/p&gt;</source>
        <translation>&lt;h3&gt;检测到未知异常&lt;/h3&gt;<byte value="xd"/>
升级因未知异常而中断，请重试。&lt;br&gt;&lt;br&gt;状态异常时&lt;b&gt;不会升级音频模块&lt;/b&gt;。&lt;p&gt;获取最新的应用程序和固件，&lt;a style=&apos;color:#42a5f5;&apos; href=&quot;https:///&quot;&gt;请点击这里。&lt;/p&gt;</translation>
    </message>
    <message>
        <source>Upgrade step</source>
        <translation>升级步骤</translation>
    </message>
    <message>
        <source>&lt;h3&gt;Restore Factory Defaults&lt;/h3&gt;<byte value="xd"/>
The device did not accept the request; its settings are unchanged. Please unplug and re-plug the device and try again.</source>
        <translation>&lt;h3&gt;恢复出厂设置&lt;/h3&gt;<byte value="xd"/>
设备未接受该请求，其设置保持不变。请拔下并重新插入设备后再试。</translation>
    </message>
    <message>
        <source>the camera waiting in its boot stage (%1)</source>
        <translation>处于启动阶段等待修复的摄像头（%1）</translation>
    </message>
    <message>
        <source>No permission to open %1. The udev rule %2 that gives access to the camera is missing or not yet applied: install it, then replug the camera or run &quot;udevadm trigger&quot;.</source>
        <translation>没有权限打开 %1。授予摄像头访问权限的 udev 规则 %2 缺失或尚未生效：请安装该规则，然后重新插拔摄像头或运行“udevadm trigger”。</translation>
    </message>
</context>
<context>
    <name>UpgradeStep</name>
    <message>
        <source>Sending the audio module firmware: %1%</source>
        <translation>正在发送音频模块固件：%1%</translation>
    </message>
    <message>
        <source>Installing the audio module firmware</source>
        <translation>正在安装音频模块固件</translation>
    </message>
    <message>
        <source>Restarting the main board in upgrade mode</source>
        <translation>正在以升级模式重启主板</translation>
    </message>
    <message>
        <source>Upgrading the main board: step %1 of %2</source>
        <translation>正在升级主板：第 %1 步，共 %2 步</translation>
    </message>
    <message>
        <source>Restarting the camera in upgrade mode</source>
        <translation>正在以升级模式重启摄像头</translation>
    </message>
    <message>
        <source>Boot ROM: starting the updater</source>
        <translation>启动 ROM：正在启动升级程序</translation>
    </message>
    <message>
        <source>Updater: loading the boot loader</source>
        <translation>升级程序：正在加载引导程序</translation>
    </message>
    <message>
        <source>Waiting for the camera to come back in its boot loader</source>
        <translation>正在等待摄像头以引导程序模式重新连接</translation>
    </message>
    <message>
        <source>Upgrading the camera: step %1 of %2</source>
        <translation>正在升级摄像头：第 %1 步，共 %2 步</translation>
    </message>
    <message>
        <source>Upgrade done, the camera restarts</source>
        <translation>升级完成，摄像头正在重启</translation>
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
<context>
    <name>titleBar</name>
    <message>
        <source>Minimize</source>
        <translation>最小化</translation>
    </message>
    <message>
        <source>Maximize</source>
        <translation>最大化</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>关闭</translation>
    </message>
    <message>
        <source>Light or dark theme</source>
        <translation>浅色或深色主题</translation>
    </message>
    <message>
        <source>Language</source>
        <translation>语言</translation>
    </message>
    <message>
        <source>Restore</source>
        <translation>还原</translation>
    </message>
</context>
</TS>
