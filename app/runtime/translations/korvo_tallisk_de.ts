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
</context>
</TS>
