<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ar_SA">
<context>
    <name></name>
    <message id="Usable/Text">
        <source>usable</source>
        <translation>قابلة للاستخدام</translation>
    </message>
    <message id="BiosCredentialValueNone/Text">
        <source>None</source>
        <translation>لا يوجد</translation>
    </message>
    <message id="BiosCredentialValuePassword/Text">
        <source>Password</source>
        <translation>كلمة مرور</translation>
    </message>
    <message id="BiosCredentialValueStellgard/Text">
        <source>Stellgard key</source>
        <translation>مفتاح Stellgard</translation>
    </message>
    <message id="Supported/Text">
        <source>Supported</source>
        <translation>مدعوم</translation>
    </message>
    <message id="NotSupported/Text">
        <source>Not supported</source>
        <translation>غير مدعوم</translation>
    </message>
    <message id="USB31Gen1/Text">
        <source>USB 3.1 Gen 1 (5 Gbps)</source>
        <translation>USB 3.1 الجيل 1 (5 جيجابت/ث)</translation>
    </message>
    <message id="USB31Gen2/Text">
        <source>USB 3.1 Gen 2 (10 Gbps)</source>
        <translation>USB 3.1 الجيل 2 (10 جيجابت/ث)</translation>
    </message>
    <message id="MinimizeButton/ToolTip">
        <source>Minimize</source>
        <translation>تصغير</translation>
    </message>
    <message id="CloseButton/ToolTip">
        <source>Close</source>
        <translation>إغلاق</translation>
    </message>
    <message id="OkButton/Content">
        <source>OK</source>
        <translation>موافق</translation>
    </message>
</context>
</TS>
