<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name></name>
    <message id="Usable/Text">
        <source>usable</source>
        <translation>nutzbar</translation>
    </message>
    <message id="BiosCredentialValueNone/Text">
        <source>None</source>
        <translation>Keine</translation>
    </message>
    <message id="BiosCredentialValuePassword/Text">
        <source>Password</source>
        <translation>Kennwort</translation>
    </message>
    <message id="BiosCredentialValueStellgard/Text">
        <source>Stellgard key</source>
        <translation>Stellgard-Schlüssel</translation>
    </message>
    <message id="Supported/Text">
        <source>Supported</source>
        <translation>Unterstützt</translation>
    </message>
    <message id="NotSupported/Text">
        <source>Not supported</source>
        <translation>Nicht unterstützt</translation>
    </message>
    <message id="USB31Gen1/Text">
        <source>USB 3.1 Gen 1 (5 Gbps)</source>
        <translation>USB 3.1 Gen 1 (5 Gbit/s)</translation>
    </message>
    <message id="USB31Gen2/Text">
        <source>USB 3.1 Gen 2 (10 Gbps)</source>
        <translation>USB 3.1 Gen 2 (10 Gbit/s)</translation>
    </message>
    <message id="MinimizeButton/ToolTip">
        <source>Minimize</source>
        <translation>Minimieren</translation>
    </message>
    <message id="CloseButton/ToolTip">
        <source>Close</source>
        <translation>Schließen</translation>
    </message>
    <message id="OkButton/Content">
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message id="ProductNameLabel/Text">
        <source>Product name</source>
        <translation>Produktname</translation>
    </message>
    <message id="SkuLabel/Text">
        <source>SKU</source>
        <translation>SKU</translation>
    </message>
    <message id="BuildIdLabel/Text">
        <source>Build ID</source>
        <translation>Build-ID</translation>
    </message>
    <message id="MemoryLabel/Text">
        <source>Memory</source>
        <translation>Arbeitsspeicher</translation>
    </message>
    <message id="ProcessorLabel/Text">
        <source>Processor</source>
        <translation>Prozessor</translation>
    </message>
    <message id="BiosVersionLabel/Text">
        <source>BIOS version and date</source>
        <translation>BIOS-Version und -Datum</translation>
    </message>
    <message id="BoardVersionLabel/Text">
        <source>Board version</source>
        <translation>Platinenversion</translation>
    </message>
    <message id="SerialNumberLabel/Text">
        <source>Serial number</source>
        <translation>Seriennummer</translation>
    </message>
    <message id="FeatureByteLabel/Text">
        <source>Feature byte</source>
        <translation>Feature-Byte</translation>
    </message>
    <message id="BiosPasswordLabel/Text">
        <source>BIOS password</source>
        <translation>BIOS-Kennwort</translation>
    </message>
    <message id="UsbTypeCButton/Content">
        <source>USB Type-C</source>
        <translation>USB Type-C</translation>
    </message>
    <message id="AdvancedButton/Content">
        <source>System Information</source>
        <translation>Systeminformationen</translation>
    </message>
    <message id="UsbDataHeadingLabel/Text">
        <source>Data and video</source>
        <translation>Daten und Video</translation>
    </message>
    <message id="UsbDevicesLabel/Text">
        <source>USB data rate</source>
        <translation>USB-Datenrate</translation>
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
        <translation>Stromversorgung</translation>
    </message>
    <message id="PowerProviderLabel/Text">
        <source>Supplies power</source>
        <translation>Gibt Strom ab</translation>
    </message>
    <message id="PowerConsumerLabel/Text">
        <source>Charges this PC</source>
        <translation>Lädt diesen PC</translation>
    </message>
    <message id="MaxPowerOutputLabel/Text">
        <source>Maximum power output</source>
        <translation>Maximale Ausgangsleistung</translation>
    </message>
    <message id="BackButton/Content">
        <source>Back</source>
        <translation>Zurück</translation>
    </message>
    <message id="CopyFacts/Text">
        <source>Copy</source>
        <translation>Kopieren</translation>
    </message>
    <message id="CopyFactsInEnglish/Text">
        <source>Copy in English</source>
        <translation>Auf Englisch kopieren</translation>
    </message>
    <message id="ServiceNotRunning/Text">
        <source>The Korvo Vesk Service is not running.</source>
        <translation>Der Korvo Vesk Service läuft nicht.</translation>
    </message>
    <message id="ServiceRefused/Text">
        <source>The Korvo Vesk Service refused access.</source>
        <translation>Der Korvo Vesk Service hat den Zugriff verweigert.</translation>
    </message>
    <message id="ServiceTimedOut/Text">
        <source>The Korvo Vesk Service did not answer in time.</source>
        <translation>Der Korvo Vesk Service hat nicht rechtzeitig geantwortet.</translation>
    </message>
    <message id="ServiceNoAnswer/Text">
        <source>The Korvo Vesk Service did not answer (status %1).</source>
        <translation>Der Korvo Vesk Service hat nicht geantwortet (Status %1).</translation>
    </message>
</context>
</TS>
