#include "ui/TViewerDialog.h"

#include <QFontDatabase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QStackedWidget>
#include <QStringDecoder>
#include <QVBoxLayout>

#include "common/CodePage.h"
#include "common/Routines.h"
#include "fs/FileData.h"
#include "ui/THexDump.h"

namespace vantrel::ui {

std::int64_t TFATStreamSource::Size() const { return stream_.GetSize(); }

std::uint32_t TFATStreamSource::ReadAt(std::int64_t offset, std::uint8_t* buffer, std::uint32_t count) {
  stream_.Seek(offset, TFATStream::soBeginning);
  return stream_.Read(buffer, count);
}

TViewerDialog::TViewerDialog(QWidget* parent) : QDialog(parent) {
  setObjectName("TViewerDialog");
  setWindowTitle("View");
  resize(696, 532);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  Notebook1 = new QStackedWidget(this);
  layout->addWidget(Notebook1);

  TextPage = new QWidget;
  auto* textLayout = new QVBoxLayout(TextPage);
  textLayout->setContentsMargins(0, 0, 0, 0);
  textLayout->setSpacing(0);
  LabelLimit = new QLabel(TextPage);
  LabelLimit->setObjectName("LabelLimit");
  LabelLimit->setWordWrap(true);
  LabelLimit->setStyleSheet("background: #ffffe0; padding: 4px;");
  LabelLimit->hide();
  RichEdit1 = new QPlainTextEdit(TextPage);
  RichEdit1->setObjectName("RichEdit1");
  RichEdit1->setReadOnly(true);
  RichEdit1->setLineWrapMode(QPlainTextEdit::NoWrap);
  RichEdit1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  RichEdit1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  textLayout->addWidget(LabelLimit);
  textLayout->addWidget(RichEdit1);
  Notebook1->addWidget(TextPage);

  Hexdump1 = new THexDump(Notebook1);
  Hexdump1->setObjectName("Hexdump1");
  Notebook1->addWidget(Hexdump1);
}

TViewerDialog::~TViewerDialog() { CloseStream(); }

void TViewerDialog::NewStream(TFATdrive& drive, std::uint8_t fatChoice, std::uint32_t size,
                              std::uint32_t startCluster) {
  CloseStream();
  stream_ = std::make_unique<TFATStream>(drive, fatChoice, size, startCluster);
  source_ = std::make_unique<TFATStreamSource>(*stream_);
}

void TViewerDialog::CloseStream() {
  // The hex view forgets the stream before it goes.
  Hexdump1->SetStream(nullptr);
  source_.reset();
  stream_.reset();
}

void TViewerDialog::OpenHex(TFATdrive& drive, const std::string& name, std::uint8_t fatChoice, std::uint32_t size,
                            std::uint32_t startCluster) {
  Hexdump1->setEnabled(false);
  setWindowTitle("View as hex: " + QString::fromStdString(name));
  NewStream(drive, fatChoice, size, startCluster);
  Hexdump1->SetStream(source_.get());
  Hexdump1->setEnabled(true);
  Notebook1->setCurrentWidget(Hexdump1);
}

void TViewerDialog::OpenText(TFATdrive& drive, const std::string& name, std::uint8_t fatChoice, std::uint32_t size,
                             std::uint32_t startCluster) {
  Hexdump1->setEnabled(false);
  setWindowTitle("View as text: " + QString::fromStdString(name));
  NewStream(drive, fatChoice, size, startCluster);
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setPixelSize(12);
  RichEdit1->setFont(font);
  // A file too large to show whole is shown up to the limit, with a note.
  const std::uint32_t shown = std::min(size, kTextLimit);
  std::string bytes(shown, '\0');
  std::uint32_t got = 0;
  while (got < shown) {
    const std::uint32_t n = stream_->Read(reinterpret_cast<std::uint8_t*>(bytes.data()) + got, shown - got);
    if (n == 0) break;  // the rest stays zeros, as unreadable sectors read
    got += n;
  }
  if (shown < size) {
    LabelLimit->setText(QString("文件有 %1 字节，太大，无法全部显示：这里只显示前 %2 字节。")
                            .arg(QString::fromStdString(UIntToText(size)))
                            .arg(QString::fromStdString(UIntToText(shown))));
    LabelLimit->show();
  } else {
    LabelLimit->hide();
  }
  RichEdit1->setPlainText(DecodeText(bytes));
  RichEdit1->moveCursor(QTextCursor::Start);
  Notebook1->setCurrentWidget(TextPage);
}

QString TViewerDialog::DecodeText(const std::string& bytes) {
  // A multi-byte sequence cut off by the limit does not make the text foreign.
  std::size_t end = bytes.size();
  for (std::size_t back = 0; back < 3 && back < end; ++back) {
    const auto b = static_cast<unsigned char>(bytes[end - 1 - back]);
    if ((b & 0xC0) != 0x80) {
      const std::size_t need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
      if (need > back + 1) end -= back + 1;
      break;
    }
  }
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  const QString text = utf8(QByteArrayView(bytes.data(), static_cast<qsizetype>(end)));
  if (!utf8.hasError()) return text;
  const std::string converted =
      OemToUtf8(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), OemCodePage());
  return QString::fromStdString(converted);
}

bool TViewerDialog::ShowHex(TFATdrive& drive, const std::string& name, std::uint8_t fatChoice, std::uint32_t size,
                            std::uint32_t startCluster) {
  OpenHex(drive, name, fatChoice, size, startCluster);
  const bool ok = exec() == QDialog::Accepted;
  CloseStream();
  return ok;
}

bool TViewerDialog::ShowText(TFATdrive& drive, const std::string& name, std::uint8_t fatChoice, std::uint32_t size,
                             std::uint32_t startCluster) {
  OpenText(drive, name, fatChoice, size, startCluster);
  const bool ok = exec() == QDialog::Accepted;
  CloseStream();
  RichEdit1->clear();
  return ok;
}

void TViewerDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (Notebook1->currentWidget() == TextPage) RichEdit1->setFocus();
  else Hexdump1->setFocus();
}

}  // namespace vantrel::ui
