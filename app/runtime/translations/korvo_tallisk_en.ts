<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name></name>
    <message id="Usable/Text">
        <source>usable</source>
        <translation>usable</translation>
    </message>
    <message id="BiosCredentialValueNone/Text">
        <source>None</source>
        <translation>None</translation>
    </message>
    <message id="BiosCredentialValuePassword/Text">
        <source>Password</source>
        <translation>Password</translation>
    </message>
    <message id="BiosCredentialValueStellgard/Text">
        <source>Stellgard key</source>
        <translation>Stellgard key</translation>
    </message>
    <message id="Supported/Text">
        <source>Supported</source>
        <translation>Supported</translation>
    </message>
    <message id="NotSupported/Text">
        <source>Not supported</source>
        <translation>Not supported</translation>
    </message>
    <message id="USB31Gen1/Text">
        <source>USB 3.1 Gen 1 (5 Gbps)</source>
        <translation>USB 3.1 Gen 1 (5 Gbps)</translation>
    </message>
    <message id="USB31Gen2/Text">
        <source>USB 3.1 Gen 2 (10 Gbps)</source>
        <translation>USB 3.1 Gen 2 (10 Gbps)</translation>
    </message>
    <message id="MinimizeButton/ToolTip">
        <source>Minimize</source>
        <translation>Minimize</translation>
    </message>
    <message id="CloseButton/ToolTip">
        <source>Close</source>
        <translation>Close</translation>
    </message>
    <message id="OkButton/Content">
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message id="ProductNameLabel/Text">
        <source>Product name</source>
        <translation>Product name</translation>
    </message>
    <message id="SkuLabel/Text">
        <source>SKU</source>
        <translation>SKU</translation>
    </message>
    <message id="BuildIdLabel/Text">
        <source>Build ID</source>
        <translation>Build ID</translation>
    </message>
    <message id="MemoryLabel/Text">
        <source>Memory</source>
        <translation>Memory</translation>
    </message>
    <message id="ProcessorLabel/Text">
        <source>Processor</source>
        <translation>Processor</translation>
    </message>
    <message id="BiosVersionLabel/Text">
        <source>BIOS version and date</source>
        <translation>BIOS version and date</translation>
    </message>
    <message id="BoardVersionLabel/Text">
        <source>Board version</source>
        <translation>Board version</translation>
    </message>
    <message id="SerialNumberLabel/Text">
        <source>Serial number</source>
        <translation>Serial number</translation>
    </message>
    <message id="FeatureByteLabel/Text">
        <source>Feature byte</source>
        <translation>Feature byte</translation>
    </message>
    <message id="BiosPasswordLabel/Text">
        <source>BIOS password</source>
        <translation>BIOS password</translation>
    </message>
    <message id="UsbTypeCButton/Content">
        <source>USB Type-C</source>
        <translation>USB Type-C</translation>
    </message>
    <message id="AdvancedButton/Content">
        <source>System Information</source>
        <translation>System Information</translation>
    </message>
    <message id="UsbDataHeadingLabel/Text">
        <source>Data and video</source>
        <translation>Data and video</translation>
    </message>
    <message id="UsbDevicesLabel/Text">
        <source>USB data rate</source>
        <translation>USB data rate</translation>
    </message>
    <message id="ThunderboltLabel/Text">
        <source>Thunderbolt</source>
        <translation>Thunderbolt</translation>
    </message>
    <message id="DisplayPortLabel/Text">
        <source>DisplayPort</source>
        <translation>DisplayPort</translation>
    </message>
    <message id="UsbPowerHeadingLabel/Text">
        <source>Power</source>
        <translation>Power</translation>
    </message>
    <message id="PowerProviderLabel/Text">
        <source>Supplies power</source>
        <translation>Supplies power</translation>
    </message>
    <message id="PowerConsumerLabel/Text">
        <source>Charges this PC</source>
        <translation>Charges this PC</translation>
    </message>
    <message id="MaxPowerOutputLabel/Text">
        <source>Maximum power output</source>
        <translation>Maximum power output</translation>
    </message>
    <message id="BackButton/Content">
        <source>Back</source>
        <translation>Back</translation>
    </message>
    <message id="CopyFacts/Text">
        <source>Copy</source>
        <translation>Copy</translation>
    </message>
    <message id="CopyFactsInEnglish/Text">
        <source>Copy in English</source>
        <translation>Copy in English</translation>
    </message>
    <message id="ServiceNotRunning/Text">
        <source>The Korvo Vesk Service is not running.</source>
        <translation>The Korvo Vesk Service is not running.</translation>
    </message>
    <message id="ServiceRefused/Text">
        <source>The Korvo Vesk Service refused access.</source>
        <translation>The Korvo Vesk Service refused access.</translation>
    </message>
    <message id="ServiceTimedOut/Text">
        <source>The Korvo Vesk Service did not answer in time.</source>
        <translation>The Korvo Vesk Service did not answer in time.</translation>
    </message>
    <message id="ServiceNoAnswer/Text">
        <source>The Korvo Vesk Service did not answer (status %1).</source>
        <translation>The Korvo Vesk Service did not answer (status %1).</translation>
    </message>
</context>
</TS>
