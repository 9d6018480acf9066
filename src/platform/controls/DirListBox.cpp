#include "DirListBox.h"

#include <QFile>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyle>
#include <QStyledItemDelegate>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace platform
{

namespace
{

constexpr int kLevelRole = Qt::UserRole + 1;

QString reason(int error)
{
    switch (error) {
    case ENOENT:
        return QStringLiteral(
            "そのフォルダーは見つかりません（削除されたか、名前が変わった可能性があります）。");
    case EACCES:
    case EPERM:
        return QStringLiteral("このフォルダーを読む権限がありません。");
    case ENOTDIR:
        return QStringLiteral("フォルダーではありません。");
    case EIO:
    case ENXIO:
    case ENODEV:
    case ENOMEDIUM:
        return QStringLiteral(
            "ドライブの準備ができていません（メディアが入っていないか、読み取れません）。");
    case ETIMEDOUT:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ESTALE:
        return QStringLiteral("ネットワーク上のドライブに接続できません。");
    default:
        return QStringLiteral("読み込めません（エラー番号 %1）。").arg(error);
    }
}

// Subfolders indent one step further than the open folder, which indents below its parent.
class LevelDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        option->rect.adjust(index.data(kLevelRole).toInt() * 10, 0, 0, 0);
    }
};

struct DirCloser {
    void operator()(DIR *d) const { ::closedir(d); }
};

// The non-hidden subfolders of an open directory (links to folders count), sorted by name.
std::vector<std::string> readSubfolders(DIR *dir, const std::string &path)
{
    std::vector<std::string> names;
    const std::string prefix = path == "/" ? path : path + "/";
    while (const dirent *e = ::readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        bool folder = e->d_type == DT_DIR;
        if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
            struct stat st;
            folder = ::stat((prefix + e->d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        if (folder)
            names.emplace_back(e->d_name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

QString VisiblePath(std::string_view path)
{
    const QString name = QFile::decodeName(QByteArray(path.data(), qsizetype(path.size())));
    QString out;
    out.reserve(name.size());
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        if (u == u'\\')
            out += QStringLiteral("\\\\");
        else if (u < 0x20 || u == 0x7f)
            out += QStringLiteral("\\x%1").arg(int(u), 2, 16, QLatin1Char('0'));
        else if (c.category() == QChar::Other_Control || u == 0x2028 || u == 0x2029)
            out += QStringLiteral("\\u%1").arg(int(u), 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

FolderError::FolderError(const std::string &path, int error)
    : std::runtime_error(QStringLiteral("フォルダー「%1」を開けません。%2")
                             .arg(VisiblePath(path), reason(error))
                             .toStdString()),
      path_(path), error_(error)
{
}

std::string NormalFolderPath(const std::string &path)
{
    std::string full = path;
    if (full.empty() || full[0] != '/') {
        std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
        full = std::string(cwd ? cwd.get() : "/") + "/" + full;
    }
    std::vector<std::string> parts;
    std::size_t i = 0;
    while (i < full.size()) {
        const std::size_t next = std::min(full.find('/', i), full.size());
        const std::string part = full.substr(i, next - i);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = next + 1;
    }
    std::string out;
    for (const std::string &p : parts)
        out += "/" + p;
    return out.empty() ? std::string("/") : out;
}

std::string OpenableFolder(const std::string &path)
{
    std::string target = NormalFolderPath(path);
    std::unique_ptr<DIR, DirCloser> dir(::opendir(target.c_str()));
    if (!dir)
        throw FolderError(target, errno);
    return target;
}

DirListBox::DirListBox(QWidget *parent) : QListWidget(parent)
{
    setItemDelegate(new LevelDelegate(this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformItemSizes(true);
    connect(this, &QListWidget::itemClicked, this, [this] { emit Click(); });
}

void DirListBox::SetPath(const std::string &path)
{
    const std::string target = NormalFolderPath(path);
    std::unique_ptr<DIR, DirCloser> dir(::opendir(target.c_str()));
    if (!dir) {
        const int error = errno;
        // Whatever vanished from the folder still open goes from the list too.
        if (!path_.empty()) {
            if (std::unique_ptr<DIR, DirCloser> again(::opendir(path_.c_str())); again)
                fill(path_, readSubfolders(again.get(), path_));
        }
        throw FolderError(target, error);
    }
    fill(target, readSubfolders(dir.get(), target));
}

void DirListBox::fill(const std::string &path, std::vector<std::string> subfolders)
{
    path_ = path;
    entries_.clear();
    if (path != "/") {
        for (std::size_t at = path.find('/', 1); at != std::string::npos;
             at = path.find('/', at + 1))
            entries_.push_back(path.substr(0, at));
        entries_.insert(entries_.begin(), "/");
    }
    ancestors_ = int(entries_.size());
    entries_.push_back(path);
    const std::string prefix = path == "/" ? path : path + "/";
    for (const std::string &name : subfolders)
        entries_.push_back(prefix + name);

    clear();
    const QIcon open = style()->standardIcon(QStyle::SP_DirOpenIcon);
    const QIcon closed = style()->standardIcon(QStyle::SP_DirClosedIcon);
    for (std::size_t row = 0; row < entries_.size(); ++row) {
        const std::string &e = entries_[row];
        const std::string name = e == "/" ? e : e.substr(e.rfind('/') + 1);
        const bool sub = int(row) > ancestors_;
        auto *item =
            new QListWidgetItem(sub ? closed : open,
                                QFile::decodeName(QByteArray(name.data(), qsizetype(name.size()))));
        item->setData(kLevelRole, sub ? ancestors_ + 1 : int(row));
        item->setToolTip(QFile::decodeName(QByteArray(e.data(), qsizetype(e.size()))));
        addItem(item);
    }
    setCurrentRow(ancestors_);
    emit PathChange();
}

int DirListBox::rowOf(int index) const
{
    const int row = ancestors_ + 1 + index;
    if (row < 0 || row >= int(entries_.size()))
        throw std::out_of_range("Invalid list index " + std::to_string(index));
    return row;
}

int DirListBox::ListIndex() const
{
    const int row = currentRow();
    return row < 0 ? -1 : row - ancestors_ - 1;
}

void DirListBox::SetListIndex(int index)
{
    setCurrentRow(rowOf(index));
}

std::string DirListBox::List(int index) const
{
    return entries_[std::size_t(rowOf(index))];
}

void DirListBox::keyPressEvent(QKeyEvent *event)
{
    const int key = event->key();
    if ((key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space) &&
        currentRow() >= 0) {
        event->accept();
        emit Click();
        return;
    }
    QListWidget::keyPressEvent(event);
}

void DirListBox::mouseDoubleClickEvent(QMouseEvent *event)
{
    secondClick_ = true;
    event->accept();
}

void DirListBox::mouseReleaseEvent(QMouseEvent *event)
{
    if (secondClick_) {
        secondClick_ = false;
        event->accept();
        return;
    }
    QListWidget::mouseReleaseEvent(event);
}

} // namespace platform
