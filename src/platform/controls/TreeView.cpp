#include "TreeView.h"

#include <QHeaderView>
#include <QPainter>

namespace platform
{

TreeModel::TreeModel(QObject *parent) : QAbstractItemModel(parent) {}

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
    // Checked first, so that a failed add never leaves an insertion half announced.
    store_.CheckAdd(parent, key, text);
    const int row = int(store_.ChildCount(parent));
    beginInsertRows(IndexOf(parent), row, row);
    const NodeId id = store_.Add(parent, key, text);
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

void TreeModel::Thaw()
{
    if (!frozen_)
        return;
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
    if (!child.isValid())
        return {};
    return IndexOf(store_.Parent(NodeOf(child)));
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

int TreeModel::columnCount(const QModelIndex &) const
{
    return 1;
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
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
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
    setTextElideMode(Qt::ElideMiddle);
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
}

NodeId TreeView::Add(std::string_view relative, int relationship, std::string_view key,
                     std::string_view text)
{
    return model_.Add(model_.Store().Keys().Parent(relative, relationship), key, text);
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
            marked_[p] = true;
            toExpand_.push_back(p);
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

void TreeView::EndFill()
{
    if (!Filling())
        return;
    model_.Thaw();
    // While a layout is pending, expand only records the index.
    scheduleDelayedItemsLayout();
    for (NodeId p : toExpand_)
        expand(model_.IndexOf(p));
    if (toShow_ != 0)
        scrollTo(model_.IndexOf(toShow_));
    toExpand_.clear();
    toExpand_.shrink_to_fit();
    marked_.clear();
    marked_.shrink_to_fit();
    toShow_ = 0;
}

void TreeView::SetStyle(int style)
{
    if (style < 0 || style > 7)
        throw PropertyError("Invalid property value: Style");
    style_ = style;
    const bool lines = style >= 4;
    const bool boxes = (style & 2) != 0;
    setRootIsDecorated(lines || boxes);
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
