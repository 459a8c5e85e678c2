#include "app/pages/custom_title_bar.h"

#include <QEvent>
#include <QGridLayout>
#include <QPainter>
#include <QPixmap>

#include "app/runtime/resources.h"
#include "app/shell/logging_handler.h"
#include "platform/debug.h"
#include "ui_custom_title_bar.h"

namespace Korvo_Tallisk {

using app_runtime::CoreApplicationViewTitleBar;
using app_runtime::ResourceLoader;
using app_runtime::Window;

namespace {

constexpr double kTitleBarHeight = 30;

QString Operation(const char* name) {
  return QStringLiteral("Korvo_Tallisk::CustomTitleBar::") + QLatin1String(name);
}

enum class Caption { Minimize, Close };

// The caption buttons' glyphs, thin lines in the text colour as desktops draw them.
QIcon CaptionGlyph(Caption caption, const QColor& color, qreal pixelRatio) {
  constexpr int kSide = 10;
  QPixmap pixmap(QSize(kSide, kSide) * pixelRatio);
  pixmap.setDevicePixelRatio(pixelRatio);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(color, 1.0));
  if (caption == Caption::Close) {
    painter.drawLine(QPointF(0.5, 0.5), QPointF(kSide - 0.5, kSide - 0.5));
    painter.drawLine(QPointF(kSide - 0.5, 0.5), QPointF(0.5, kSide - 0.5));
  } else {
    painter.drawLine(QPointF(0, kSide / 2.0), QPointF(kSide, kSide / 2.0));
  }
  return QIcon(pixmap);
}

}  // namespace

CustomTitleBar::CustomTitleBar(QWidget* parent)
    : QWidget(parent),
      m_coreTitleBar(Window::Current().CoreTitleBar()),
      m_hostedContent(nullptr),
      m_ui(std::make_unique<Ui::CustomTitleBar>()) {
  const QString op = Operation("CustomTitleBar");
  Log(op, QStringLiteral("Entry"));
  m_ui->setupUi(this);

  const ResourceLoader loader = ResourceLoader::GetForCurrentView();
  const QColor glyph = palette().color(QPalette::WindowText);
  m_ui->MinimizeButton->setIcon(CaptionGlyph(Caption::Minimize, glyph, devicePixelRatioF()));
  m_ui->MinimizeButton->setToolTip(loader.GetString(QStringLiteral("MinimizeButton/ToolTip")));
  m_ui->MinimizeButton->setAccessibleName(m_ui->MinimizeButton->toolTip());
  m_ui->CloseButton->setIcon(CaptionGlyph(Caption::Close, glyph, devicePixelRatioF()));
  m_ui->CloseButton->setToolTip(loader.GetString(QStringLiteral("CloseButton/ToolTip")));
  m_ui->CloseButton->setAccessibleName(m_ui->CloseButton->toolTip());
  connect(m_ui->MinimizeButton, &QToolButton::clicked, this, &CustomTitleBar::Minimize);
  connect(m_ui->CloseButton, &QToolButton::clicked, this, &CustomTitleBar::Close);

  connect(m_coreTitleBar.get(), &CoreApplicationViewTitleBar::LayoutMetricsChanged, this,
          &CustomTitleBar::ApplyPadding);
  ApplyPadding();

  m_ui->StatusLine->installEventFilter(this);
  m_ui->StatusLine->hide();
  Log(op, QStringLiteral("Exit"));
}

CustomTitleBar::~CustomTitleBar() = default;

double CustomTitleBar::CoreTitleBarHeight() const {
  return kTitleBarHeight;
}

QMargins CustomTitleBar::CoreTitleBarPadding() const {
  const int left = m_coreTitleBar->SystemOverlayLeftInset();
  const int right = m_coreTitleBar->SystemOverlayRightInset();
  if (layoutDirection() == Qt::RightToLeft) return QMargins(right, 0, left, 0);
  return QMargins(left, 0, right, 0);
}

void CustomTitleBar::ApplyPadding() {
  const QMargins padding = CoreTitleBarPadding();
  // The padding is in flow terms, a layout's margins are physical: in right-to-left flow
  // the padding's left is the physical right, where the system's right inset is.
  const QMargins physical =
      layoutDirection() == Qt::RightToLeft ? QMargins(padding.right(), 0, padding.left(), 0) : padding;
  m_ui->TitleBarAreaLayout->setContentsMargins(physical);
  if (padding != m_appliedPadding) {
    m_appliedPadding = padding;
    emit CoreTitleBarPaddingChanged();
  }
}

QWidget* CustomTitleBar::SetPageContent(QWidget* content) {
  const QString op = Operation("SetPageContent");
  Log(op, QStringLiteral("Entry"));
  QWidget* previous = m_hostedContent;
  if (previous) {
    m_hostedContent = nullptr;
    m_ui->ContentGridLayout->removeWidget(previous);
    // Out of the grid and hidden, not deleted: the caller has it now.
    previous->setParent(nullptr);
  }
  m_hostedContent = content;
  if (content) {
    m_ui->ContentGridLayout->addWidget(content, 1, 0, 1, m_ui->ContentGridLayout->columnCount());
    content->show();
  }
  Log(op, QStringLiteral("Exit"));
  return previous;
}

void CustomTitleBar::EnableControlsInTitleBar(bool enable) {
  const QString op = Operation("EnableControlsInTitleBar");
  Log(op, QStringLiteral("Entry"));
  m_controlsEnabled = enable;
  Window::Current().SetTitleBar(enable ? m_ui->TitleBarArea : nullptr);
  Log(op, QStringLiteral("Exit"));
}

void CustomTitleBar::EnableProgressRing(bool active) {
  const QString op = Operation("EnableProgressRing");
  Log(op, QStringLiteral("Entry"));
  platform::OutputDebugString(L"KorvoSYS CustomTitleBar::EnableProgressRing");
  m_ui->StatusProgressRing->SetIsActive(active);
  Log(op, QStringLiteral("Exit"));
}

void CustomTitleBar::UpdateStatus() {
  const QString op = Operation("UpdateStatus");
  Log(op, QStringLiteral("Entry"));
  platform::OutputDebugString(L"KorvoSYS CustomTitleBar::UpdateStatus()");
  m_ui->StatusProgressRing->SetIsActive(false);
  Log(op, QStringLiteral("Exit"));
}

void CustomTitleBar::AddCustomTitleBar(app_runtime::Page* control) {
  const QString op = Operation("AddCustomTitleBar");
  Log(op, QStringLiteral("Entry"));
  if (control) {
    QWidget* content = control->Content();
    control->SetContent(nullptr);
    SetPageContent(content);
    control->SetContent(this);
  }
  Log(op, QStringLiteral("Exit"));
}

void CustomTitleBar::ShowStatusLine(const QString& text) {
  const QString op = Operation("ShowStatusLine");
  Log(op, QStringLiteral("Entry"));
  SetStatusLine(text);
  Log(op, QStringLiteral("Exit"));
}

void CustomTitleBar::ClearStatusLine() {
  const QString op = Operation("ClearStatusLine");
  Log(op, QStringLiteral("Entry"));
  SetStatusLine(QString());
  Log(op, QStringLiteral("Exit"));
}

void CustomTitleBar::SetStatusLine(const QString& text) {
  // One line: line breaks and runs of white space become single blanks.
  m_statusText = text.simplified();
  m_ui->StatusLine->setToolTip(m_statusText);
  m_ui->StatusLine->setVisible(!m_statusText.isEmpty());
  ElideStatusLine();
}

void CustomTitleBar::ElideStatusLine() {
  QLabel* line = m_ui->StatusLine;
  line->setText(line->fontMetrics().elidedText(m_statusText, Qt::ElideRight, line->width()));
}

bool CustomTitleBar::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_ui->StatusLine && event->type() == QEvent::Resize) ElideStatusLine();
  return QWidget::eventFilter(watched, event);
}

void CustomTitleBar::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  // Not before the markup is loaded (m_ui's pointers are null until then).
  if (event->type() == QEvent::LayoutDirectionChange && m_ui->TitleBarAreaLayout) ApplyPadding();
}

void CustomTitleBar::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (m_controlsEnabled) Window::Current().SetTitleBar(m_ui->TitleBarArea);
}

void CustomTitleBar::Minimize() {
  window()->showMinimized();
}

void CustomTitleBar::Close() {
  window()->close();
}

}  // namespace Korvo_Tallisk
