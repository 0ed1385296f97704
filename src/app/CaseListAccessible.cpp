// What a screen reader finds in the case list: one entry per case, named with the texts the
// entry draws, whose default action asks for the approval as a double-click on it does.
#include "CaseListAccessible.h"

#include <string>

#include <QListWidget>
#include <QMetaObject>

#include "CaseListDelegate.h"
#include "QtText.h"

namespace {

QAccessibleInterface* CaseListFactory(const QString& class_name, QObject* object) {
  if (class_name != QLatin1String("QListWidget") ||
      object->objectName() != QLatin1String(CaseListOwner::kCasesListBoxName)) {
    return nullptr;
  }
  auto* list = qobject_cast<QListWidget*>(object);
  return list == nullptr ? nullptr : new CaseListAccessible(list);
}

}  // namespace

void InstallCaseListAccessibility() {
  static const bool installed = [] {
    QAccessible::installFactory(CaseListFactory);
    return true;
  }();
  (void)installed;
}

CaseListAccessible::CaseListAccessible(QListWidget* list)
    : QAccessibleWidget(list, QAccessible::List), model_watch_(std::make_unique<QObject>()) {
  QAbstractItemModel* model = list->model();
  QObject::connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, model_watch_.get(),
                   [this](const QModelIndex&, int first, int last) { Drop(first, last); });
  QObject::connect(model, &QAbstractItemModel::modelAboutToBeReset, model_watch_.get(),
                   [this] { DropAll(); });
}

CaseListAccessible::~CaseListAccessible() { DropAll(); }

void CaseListAccessible::DropAll() {
  for (const auto& [item, id] : entries_) QAccessible::deleteAccessibleInterface(id);
  entries_.clear();
}

QListWidget* CaseListAccessible::List() const { return static_cast<QListWidget*>(widget()); }

void CaseListAccessible::Drop(int first, int last) {
  for (int row = first; row <= last; ++row) {
    const auto entry = entries_.find(List()->item(row));
    if (entry == entries_.end()) continue;
    QAccessible::deleteAccessibleInterface(entry->second);
    entries_.erase(entry);
  }
}

int CaseListAccessible::childCount() const { return List()->count(); }

QAccessibleInterface* CaseListAccessible::child(int index) const {
  QListWidgetItem* item = List()->item(index);
  if (item == nullptr) return nullptr;
  if (const auto entry = entries_.find(item); entry != entries_.end()) {
    return QAccessible::accessibleInterface(entry->second);
  }
  auto* made = new CaseEntryAccessible(List(), item);
  entries_.emplace(item, QAccessible::registerAccessibleInterface(made));
  return made;
}

int CaseListAccessible::indexOfChild(const QAccessibleInterface* child) const {
  const auto* entry = dynamic_cast<const CaseEntryAccessible*>(child);
  return entry == nullptr ? -1 : entry->Row();
}

QAccessibleInterface* CaseListAccessible::childAt(int x, int y) const {
  const QPoint point = List()->viewport()->mapFromGlobal(QPoint(x, y));
  const QModelIndex index = List()->indexAt(point);
  return index.isValid() ? child(index.row()) : nullptr;
}

QAccessibleInterface* CaseListAccessible::focusChild() const {
  if (!List()->hasFocus()) return nullptr;
  return child(List()->currentRow());
}

CaseEntryAccessible::CaseEntryAccessible(QListWidget* list, QListWidgetItem* item)
    : list_(list), item_(item) {}

bool CaseEntryAccessible::isValid() const { return list_ != nullptr && Row() >= 0; }

int CaseEntryAccessible::Row() const { return list_ == nullptr ? -1 : list_->row(item_); }

CaseListOwner* CaseEntryAccessible::Form() const {
  return list_ == nullptr ? nullptr : dynamic_cast<CaseListOwner*>(list_->window());
}

QWindow* CaseEntryAccessible::window() const {
  return list_ == nullptr ? nullptr : list_->window()->windowHandle();
}

QAccessibleInterface* CaseEntryAccessible::parent() const {
  return QAccessible::queryAccessibleInterface(list_.data());
}

QString CaseEntryAccessible::text(QAccessible::Text t) const {
  const CaseListOwner* form = Form();
  if (form == nullptr || !isValid()) return {};
  switch (t) {
    case QAccessible::Name:
      return ToQString(form->CasesListBoxEntryText(Row()));
    case QAccessible::Description:
      return QStringLiteral("%1 of %2").arg(Row() + 1).arg(list_->count());
    default:
      return {};
  }
}

QRect CaseEntryAccessible::rect() const {
  if (!isValid()) return {};
  const QRect rect = list_->visualItemRect(item_);
  return QRect(list_->viewport()->mapToGlobal(rect.topLeft()), rect.size());
}

QAccessible::State CaseEntryAccessible::state() const {
  QAccessible::State state;
  if (!isValid()) {
    state.invalid = true;
    return state;
  }
  state.focusable = true;
  state.selectable = true;
  state.selected = item_->isSelected();
  state.focused = list_->hasFocus() && list_->currentItem() == item_;
  state.invisible = !list_->isVisible();
  state.offscreen = !list_->visualItemRect(item_).intersects(list_->viewport()->rect());
  return state;
}

void* CaseEntryAccessible::interface_cast(QAccessible::InterfaceType type) {
  return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this)
                                              : nullptr;
}

QStringList CaseEntryAccessible::actionNames() const { return {pressAction(), setFocusAction()}; }

// The question waits for its answer in an event loop of its own: it is asked once the screen
// reader's call has returned, or the reader would wait for the physician's answer.
void CaseEntryAccessible::doAction(const QString& action) {
  if (!isValid()) return;
  if (action == pressAction()) {
    QPointer<QWidget> window = list_->window();
    const std::string key = ToStdString(item_->text());
    QMetaObject::invokeMethod(
        window,
        [window, key] {
          if (auto* form = dynamic_cast<CaseListOwner*>(window.data()))
            form->ApproveFromAction(key);
        },
        Qt::QueuedConnection);
  } else if (action == setFocusAction()) {
    list_->setCurrentItem(item_);
    list_->setFocus();
  }
}

QStringList CaseEntryAccessible::keyBindingsForAction(const QString& action) const {
  if (action == pressAction()) return {QStringLiteral("Return")};
  return {};
}
