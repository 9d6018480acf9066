#include "TreeView.h"

#include <QEvent>
#include <QHeaderView>
#include <QPainter>
#include <QScrollBar>
#include <QStyleOptionFocusRect>
#include <algorithm>
#include <optional>

namespace platform
{

void TreeModel::Clear()
{
    beginResetModel();
    store_.Clear();
    known_ = 0;
    endResetModel();
}

NodeId TreeModel::Add(NodeId parent, std::string_view key, std::string_view text)
{
    if (frozen_)
        return store_.Add(parent, key, text);
    // Everything that can fail comes first, so that an insertion is never left half announced.
    TreeStore::PreparedAdd add = store_.Prepare(parent, key, text);
    const int row = int(store_.ChildCount(parent));
    beginInsertRows(IndexOf(parent), row, row);
    const NodeId id = store_.Commit(std::move(add));
    endInsertRows();
    return id;
}

void TreeModel::Freeze()
{
    if (frozen_)
        return;
    frozen_ = true;
    known_ = store_.Count();
}

void TreeModel::Announce()
{
    if (!frozen_)
        return;
    const std::size_t count = store_.Count();
    while (known_ < count) {
        // A parent is always older than its children, so the first unknown node's parent is
        // known. The insertion takes in the rows that follow under that parent, with all that
        // was added below them; it ends at a node added under another known parent.
        const NodeId first = NodeId(known_ + 1);
        const NodeId parent = store_.Parent(first);
        NodeId last = first;
        std::uint32_t lastRow = store_.Row(first);
        while (last < count) {
            const NodeId p = store_.Parent(last + 1);
            if (p != parent && p < first)
                break;
            ++last;
            if (p == parent)
                lastRow = store_.Row(last);
        }
        beginInsertRows(IndexOf(parent), int(store_.Row(first)), int(lastRow));
        known_ = last;
        endInsertRows();
    }
}

void TreeModel::Thaw()
{
    Announce();
    frozen_ = false;
    known_ = 0;
}

void TreeModel::ThawByReset()
{
    beginResetModel();
    frozen_ = false;
    known_ = 0;
    endResetModel();
}

QModelIndex TreeModel::IndexOf(NodeId id) const
{
    if (id == TreeStore::kRoot || id > store_.Count() || !isKnown(id))
        return {};
    return createIndex(int(store_.Row(id)), 0, quintptr(id));
}

QModelIndex TreeModel::index(int row, int column, const QModelIndex &parent) const
{
    if (!hasIndex(row, column, parent))
        return {};
    const NodeId id = store_.Child(NodeOf(parent), std::size_t(row));
    return createIndex(row, column, quintptr(id));
}

QModelIndex TreeModel::parent(const QModelIndex &child) const
{
    return child.isValid() ? IndexOf(store_.Parent(NodeOf(child))) : QModelIndex();
}

int TreeModel::rowCount(const QModelIndex &parent) const
{
    if (parent.column() > 0)
        return 0;
    const NodeId p = NodeOf(parent);
    const std::size_t n = store_.ChildCount(p);
    if (!frozen_ || n == 0 || store_.Child(p, n - 1) <= known_)
        return int(n);
    // Children are numbered in add order, so the known ones come first.
    std::size_t lo = 0, hi = n - 1;
    while (lo < hi) {
        const std::size_t mid = (lo + hi) / 2;
        if (store_.Child(p, mid) <= known_)
            lo = mid + 1;
        else
            hi = mid;
    }
    return int(lo);
}

QVariant TreeModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::ToolTipRole))
        return {};
    const std::string_view text = store_.Text(NodeOf(index));
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

Qt::ItemFlags TreeModel::flags(const QModelIndex &index) const
{
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

TreeView::TreeView(QWidget *parent) : QTreeView(parent), model_(this)
{
    setModel(&model_);
    // Rows of one height let the view place a million of them without measuring each.
    setUniformRowHeights(true);
    setHeaderHidden(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setAnimated(false);
    // Whole texts, and a horizontal scroll bar when the widest is wider than the view; the
    // column's width is kept here, from the texts, never by measuring every row.
    setTextElideMode(Qt::ElideNone);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    header()->setStretchLastSection(false);
    header()->setSectionResizeMode(QHeaderView::Fixed);
    fontChanged();
    SetStyle(style_);
    SetBorderStyle(borderStyle_);
}

void TreeView::checkNode(NodeId node) const
{
    if (node == 0 || node > model_.Store().Count())
        throw TreeError("Index out of bounds");
}

void TreeView::Clear()
{
    model_.Clear();
    toExpand_.clear();
    marked_.clear();
    toShow_ = 0;
    widest_ = 0;
    measured_ = 0;
    levelParent_ = 0;
    fitColumn();
}

NodeId TreeView::Add(std::string_view relative, int relationship, std::string_view key,
                     std::string_view text)
{
    const NodeId id = model_.Add(model_.Store().Keys().Parent(relative, relationship), key, text);
    if (!Filling()) {
        measureTo(id);
        fitColumn();
    }
    return id;
}

std::string_view TreeView::Text(NodeId node) const
{
    checkNode(node);
    return model_.Store().Text(node);
}

void TreeView::Select(NodeId node)
{
    checkNode(node);
    selectionModel()->setCurrentIndex(model_.IndexOf(node), QItemSelectionModel::ClearAndSelect);
}

void TreeView::EnsureVisible(NodeId node)
{
    checkNode(node);
    const TreeStore &store = model_.Store();
    if (Filling()) {
        if (marked_.size() <= store.Count())
            marked_.resize(store.Count() + 1);
        // An ancestor already noted has its own ancestors noted too.
        for (NodeId p = store.Parent(node); p != TreeStore::kRoot && !marked_[p];
             p = store.Parent(p)) {
            toExpand_.push_back(p);
            marked_[p] = true;
        }
        toShow_ = node;
        return;
    }
    for (NodeId p = store.Parent(node); p != TreeStore::kRoot; p = store.Parent(p))
        expand(model_.IndexOf(p));
    scrollTo(model_.IndexOf(node));
}

void TreeView::SetFocus()
{
    activateWindow();
    setFocus(Qt::OtherFocusReason);
}

void TreeView::BeginFill()
{
    model_.Freeze();
    toExpand_.clear();
    marked_.clear();
    toShow_ = 0;
}

void TreeView::ShowFilled()
{
    if (!Filling() || model_.Known() == model_.Store().Count())
        return;
    model_.Announce();
    measureTo(model_.Store().Count());
    fitColumn();
    // While a layout is pending, expand only records the index: the layout comes once, at
    // the scroll or the next paint.
    scheduleDelayedItemsLayout();
    for (NodeId p : toExpand_)
        expand(model_.IndexOf(p));
    toExpand_.clear();
    if (toShow_ != 0) {
        // A listing's last node is the tree's bottom row. Looking a row up among all those laid
        // out is a pass over them, as long as the layout itself on a big tree.
        if (isBottomRow(toShow_))
            scrollToBottomRow();
        else
            scrollTo(model_.IndexOf(toShow_));
    }
    toShow_ = 0;
}

bool TreeView::isBottomRow(NodeId node) const
{
    const TreeStore &store = model_.Store();
    const QModelIndex index = model_.IndexOf(node);
    if (!index.isValid() || (model_.rowCount(index) > 0 && isExpanded(index)))
        return false;
    for (NodeId n = node; n != TreeStore::kRoot; n = store.Parent(n)) {
        const QModelIndex parent = model_.IndexOf(store.Parent(n));
        if (parent.isValid() && !isExpanded(parent))
            return false;
        if (int(store.Row(n)) != model_.rowCount(parent) - 1)
            return false;
    }
    return true;
}

void TreeView::scrollToBottomRow()
{
    scrollToBottom();
    // Across, as scrollTo places a row: its column from the left where it is wider than the
    // view, else just far enough to show it whole.
    const int left = header()->sectionPosition(0);
    const int width = header()->sectionSize(0);
    const int viewWidth = viewport()->width();
    if (left < header()->offset() || width > viewWidth)
        horizontalScrollBar()->setValue(left);
    else if (left - header()->offset() + width > viewWidth)
        horizontalScrollBar()->setValue(left - viewWidth + width);
}

void TreeView::EndFill()
{
    if (!Filling())
        return;
    try {
        ShowFilled();
        model_.Thaw();
    } catch (...) {
        // Out of memory while the views were told: they start again from what there is.
        model_.ThawByReset();
        throw;
    }
    toExpand_.shrink_to_fit();
    marked_.clear();
    marked_.shrink_to_fit();
}

void TreeView::SetStyle(int style)
{
    if (style < 0 || style > 7)
        throw PropertyError("Invalid property value: Style");
    style_ = style;
    const bool lines = style >= 4;
    const bool boxes = (style & 2) != 0;
    setRootIsDecorated(lines || boxes);
    fitColumn();
    viewport()->update();
}

void TreeView::SetBorderStyle(int borderStyle)
{
    if (borderStyle != 0 && borderStyle != 1)
        throw PropertyError("Invalid property value: BorderStyle");
    borderStyle_ = borderStyle;
    if (borderStyle == 1) {
        setFrameStyle(QFrame::Box | QFrame::Plain);
        setLineWidth(1);
    } else {
        setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    }
}

NodeId TreeView::SelectedNode() const
{
    const QModelIndexList rows = selectionModel()->selectedRows();
    return rows.isEmpty() ? 0 : TreeModel::NodeOf(rows.first());
}

void TreeView::fontChanged()
{
    const QFontMetricsF metrics(font());
    double ascii = 0;
    for (char32_t c = 0x20; c < 0x7f; ++c)
        ascii = std::max(ascii, metrics.horizontalAdvance(QChar(c)));
    // Two bytes make the shortest character outside ASCII.
    perByte_ = std::max(ascii, metrics.maxWidth() / 2);
    advances_.assign(0x10000, -1.0f);
    widest_ = 0;
    measured_ = 0;
    levelParent_ = 0;
    measureTo(model_.Store().Count());
    fitColumn();
}

int TreeView::levelOf(NodeId node)
{
    const TreeStore &store = model_.Store();
    const NodeId parent = store.Parent(node);
    if (parent == TreeStore::kRoot)
        return 0;
    // Siblings mostly come in a row.
    if (parent != levelParent_) {
        int level = 1;
        for (NodeId p = store.Parent(parent); p != TreeStore::kRoot; p = store.Parent(p))
            ++level;
        levelParent_ = parent;
        levelOfChildren_ = level;
    }
    return levelOfChildren_;
}

double TreeView::estimate(std::string_view text)
{
    // The sum of the characters' own advances; shaping moves a text's width a little from it.
    const QFontMetricsF metrics(font());
    double sum = 0;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        char32_t c = b;
        std::size_t length = 1;
        if (b >= 0xf0) {
            // Outside the BMP: no table, and the bound per byte holds.
            sum += perByte_ * 4;
            i += 4;
            continue;
        }
        if (b >= 0xe0 && i + 2 < text.size()) {
            c = char32_t(b & 0x0f) << 12 | char32_t(text[i + 1] & 0x3f) << 6 |
                char32_t(text[i + 2] & 0x3f);
            length = 3;
        } else if (b >= 0xc0 && i + 1 < text.size()) {
            c = char32_t(b & 0x1f) << 6 | char32_t(text[i + 1] & 0x3f);
            length = 2;
        }
        float &advance = advances_[c];
        if (advance < 0)
            advance = float(metrics.horizontalAdvance(QChar(char16_t(c))));
        sum += advance;
        i += length;
    }
    return sum;
}

void TreeView::measureTo(std::size_t count)
{
    const TreeStore &store = model_.Store();
    const int indent = indentation();
    std::optional<QFontMetrics> metrics;
    for (NodeId id = measured_ + 1; id <= count; ++id) {
        const std::string_view text = store.Text(id);
        const int offset = levelOf(id) * indent;
        if (offset + double(text.size()) * perByte_ <= widest_)
            continue;
        if (offset + estimate(text) * 1.05 + 2 <= widest_)
            continue;
        if (!metrics)
            metrics.emplace(font());
        ++textsMeasured_;
        widest_ = std::max(widest_, offset + metrics->horizontalAdvance(QString::fromUtf8(
                                                 text.data(), qsizetype(text.size()))));
    }
    measured_ = NodeId(count);
}

int TreeView::ContentWidth() const
{
    const int margin = style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1;
    return widest_ + (rootIsDecorated() ? indentation() : 0) + 2 * margin;
}

void TreeView::fitColumn()
{
    const int width = std::max(ContentWidth(), viewport()->width());
    if (header()->sectionSize(0) == width)
        return;
    header()->resizeSection(0, width);
    // The scroll bar comes or goes now, not at the next turn of the event loop, so that a
    // scroll that follows sees the viewport's height as it will be: setting the policy lays
    // out the scroll bars at once.
    updateGeometries();
    if (isVisible())
        setHorizontalScrollBarPolicy(horizontalScrollBarPolicy());
}

void TreeView::resizeEvent(QResizeEvent *event)
{
    QTreeView::resizeEvent(event);
    fitColumn();
}

void TreeView::changeEvent(QEvent *event)
{
    QTreeView::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        fontChanged();
}

void TreeView::paintEvent(QPaintEvent *event)
{
    QTreeView::paintEvent(event);
    // The rows show the focus only on the current node. With none, as in an empty tree, the
    // tree shows it where the first node's cue comes, as a list box shows its caret.
    if (!hasFocus() || currentIndex().isValid())
        return;
    QPainter painter(viewport());
    QStyleOptionFocusRect option;
    option.initFrom(this);
    option.rect = firstRowCell();
    option.backgroundColor = palette().color(QPalette::Base);
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
}

void TreeView::currentChanged(const QModelIndex &current, const QModelIndex &previous)
{
    QTreeView::currentChanged(current, previous);
    // The cue without a current node comes or goes.
    if (current.isValid() != previous.isValid())
        viewport()->update(firstRowCell());
}

QRect TreeView::firstRowCell() const
{
    // A text row's height, as the item delegate gives it.
    QStyleOptionViewItem item;
    initViewItemOption(&item);
    item.features |= QStyleOptionViewItem::HasDisplay;
    item.text = QStringLiteral("X");
    const int height =
        style()->sizeFromContents(QStyle::CT_ItemViewItem, &item, QSize(), this).height();
    const int left = rootIsDecorated() ? indentation() : 0;
    return QRect(left - horizontalOffset(), 0, header()->sectionSize(0) - left, height);
}

void TreeView::scrollTo(const QModelIndex &index, ScrollHint hint)
{
    QTreeView::scrollTo(index, hint);
    if (!index.isValid() || hint != QAbstractItemView::EnsureVisible)
        return;
    // The row shows whole, not cut at the top or bottom edge, where the viewport is high
    // enough for it.
    QScrollBar *bar = verticalScrollBar();
    const bool perPixel = verticalScrollMode() == QAbstractItemView::ScrollPerPixel;
    for (int step = 0; step < 2; ++step) {
        const QRect row = visualRect(index);
        const int height = viewport()->height();
        if (row.height() > height)
            return;
        if (row.top() < 0)
            bar->setValue(bar->value() - (perPixel ? -row.top() : 1));
        else if (row.bottom() >= height)
            bar->setValue(bar->value() + (perPixel ? row.bottom() - height + 1 : 1));
        else
            return;
    }
}

void TreeView::doItemsLayout()
{
    // Laying out an empty tree costs nothing; Qt does it whenever the scroll bars change.
    if (model_.rowCount() > 0)
        ++layouts_;
    QTreeView::doItemsLayout();
}

void TreeView::drawBranches(QPainter *painter, const QRect &rect, const QModelIndex &index) const
{
    const bool lines = style_ >= 4;
    const bool boxes = (style_ & 2) != 0;
    if (!lines && !boxes)
        return;
    const int indent = indentation();
    const int x = rect.right() + 1 - indent; // this row's own column
    const int cx = x + indent / 2;
    const int cy = rect.top() + rect.height() / 2;
    const auto hasNextSibling = [this](const QModelIndex &i) {
        return i.row() + 1 < model()->rowCount(i.parent());
    };

    painter->save();
    const QColor ink = palette().color(QPalette::Dark);
    if (lines) {
        QPen dotted(ink, 0, Qt::DotLine);
        painter->setPen(dotted);
        const bool firstOfAll = index.row() == 0 && !index.parent().isValid();
        painter->drawLine(cx, firstOfAll ? cy : rect.top(), cx,
                          hasNextSibling(index) ? rect.bottom() : cy);
        painter->drawLine(cx, cy, x + indent - 2, cy);
        int ax = cx - indent;
        for (QModelIndex a = index.parent(); a.isValid() && ax >= rect.left();
             a = a.parent(), ax -= indent) {
            if (hasNextSibling(a))
                painter->drawLine(ax, rect.top(), ax, rect.bottom());
        }
    }
    if (boxes && model()->hasChildren(index)) {
        QRect box(0, 0, 9, 9);
        box.moveCenter(QPoint(cx, cy));
        painter->setPen(QPen(ink, 0));
        painter->setBrush(palette().color(QPalette::Base));
        painter->drawRect(box.adjusted(0, 0, -1, -1));
        painter->setPen(QPen(palette().color(QPalette::Text), 0));
        painter->drawLine(box.left() + 2, cy, box.right() - 2, cy);
        if (!isExpanded(index))
            painter->drawLine(cx, box.top() + 2, cx, box.bottom() - 2);
    }
    painter->restore();
}

} // namespace platform
