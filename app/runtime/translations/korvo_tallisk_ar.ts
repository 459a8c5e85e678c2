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
    <message id="ProductNameLabel/Text">
        <source>Product name</source>
        <translation>اسم المنتج</translation>
    </message>
    <message id="SkuLabel/Text">
        <source>SKU</source>
        <translation>رمز SKU</translation>
    </message>
    <message id="BuildIdLabel/Text">
        <source>Build ID</source>
        <translation>معرّف الإصدار</translation>
    </message>
    <message id="MemoryLabel/Text">
        <source>Memory</source>
        <translation>الذاكرة</translation>
    </message>
    <message id="ProcessorLabel/Text">
        <source>Processor</source>
        <translation>المعالج</translation>
    </message>
    <message id="BiosVersionLabel/Text">
        <source>BIOS version and date</source>
        <translation>إصدار BIOS وتاريخه</translation>
    </message>
    <message id="BoardVersionLabel/Text">
        <source>Board version</source>
        <translation>إصدار اللوحة الأم</translation>
    </message>
    <message id="SerialNumberLabel/Text">
        <source>Serial number</source>
        <translation>الرقم التسلسلي</translation>
    </message>
    <message id="FeatureByteLabel/Text">
        <source>Feature byte</source>
        <translation>بايت الميزات</translation>
    </message>
    <message id="BiosPasswordLabel/Text">
        <source>BIOS password</source>
        <translation>كلمة مرور BIOS</translation>
    </message>
    <message id="UsbTypeCButton/Content">
        <source>USB Type-C</source>
        <translation>USB Type-C</translation>
    </message>
    <message id="AdvancedButton/Content">
        <source>System Information</source>
        <translation>معلومات النظام</translation>
    </message>
    <message id="UsbDataHeadingLabel/Text">
        <source>Data and video</source>
        <translation>البيانات والفيديو</translation>
    </message>
    <message id="UsbDevicesLabel/Text">
        <source>USB data rate</source>
        <translation>معدل نقل بيانات USB</translation>
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
        <translation>الطاقة</translation>
    </message>
    <message id="PowerProviderLabel/Text">
        <source>Supplies power</source>
        <translation>يوفّر الطاقة</translation>
    </message>
    <message id="PowerConsumerLabel/Text">
        <source>Charges this PC</source>
        <translation>يشحن هذا الحاسوب</translation>
    </message>
    <message id="MaxPowerOutputLabel/Text">
        <source>Maximum power output</source>
        <translation>أقصى قدرة خرج</translation>
    </message>
    <message id="BackButton/Content">
        <source>Back</source>
        <translation>رجوع</translation>
    </message>
    <message id="CopyFacts/Text">
        <source>Copy</source>
        <translation>نسخ</translation>
    </message>
    <message id="CopyFactsInEnglish/Text">
        <source>Copy in English</source>
        <translation>نسخ بالإنجليزية</translation>
    </message>
    <message id="ServiceNotRunning/Text">
        <source>The Korvo Vesk Service is not running.</source>
        <translation>خدمة Korvo Vesk Service لا تعمل.</translation>
    </message>
    <message id="ServiceRefused/Text">
        <source>The Korvo Vesk Service refused access.</source>
        <translation>رفضت خدمة Korvo Vesk Service الوصول.</translation>
    </message>
    <message id="ServiceTimedOut/Text">
        <source>The Korvo Vesk Service did not answer in time.</source>
        <translation>لم تستجب خدمة Korvo Vesk Service في الوقت المحدد.</translation>
    </message>
    <message id="ServiceNoAnswer/Text">
        <source>The Korvo Vesk Service did not answer (status %1).</source>
        <translation>لم تستجب خدمة Korvo Vesk Service (الحالة %1).</translation>
    </message>
</context>
</TS>
