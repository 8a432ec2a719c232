// Pickle and copy (snapshots.hpp), and the private module functions that
// pickle calls to rebuild each kind of object.
#include <string>

#include "lib/book_snapshot.hpp"
#include "lib/order_state.hpp"
#include "module/call_frame.hpp"
#include "module/columns.hpp"
#include "module/module_entry.hpp"
#include "module/snapshots.hpp"

namespace quoranth::py {

namespace {

// (module.<function>, (values...)), each value converted by to_python (an
// object passed in is a new reference that this takes over).
template <typename... Values>
PyObject* reduce_to(const char* function, const Values&... values) {
    OwnedRef items[] = {OwnedRef::steal(to_python(values))...};
    OwnedRef callable = module_attribute(function);
    OwnedRef arguments = checked(PyTuple_New(sizeof...(Values)));
    for (std::size_t i = 0; i < sizeof...(Values); ++i) {
        if (!items[i]) throw PythonError{};
        PyTuple_SET_ITEM(arguments.get(), static_cast<Py_ssize_t>(i), items[i].release());
    }
    return checked(PyTuple_Pack(2, callable.get(), arguments.get())).release();
}

const char* member_name(OrderType member) { return member == OrderType::Buy ? "Buy" : "Sell"; }
const char* member_name(OrderStatus member) {
    switch (member) {
        case OrderStatus::Open: return "Open";
        case OrderStatus::Filled: return "Filled";
        case OrderStatus::Canceled: return "Canceled";
    }
    fail_internal("OrderStatus holds no known member");
}

// The class attribute that is the member with this value.
template <typename Enum>
PyObject* member_object(Enum member) {
    return checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(class_of<Enum>()), member_name(member))).release();
}

// ---------------------------------------------------------------- reconstructors

PyObject* restore_book(std::string_view state) { return new_instance(read_book_snapshot(state)); }

Fill restore_fill(double quantity, double price, std::string_view buy_id, std::string_view sell_id,
                  std::uint64_t timestamp) {
    return Fill{quantity, price, SmallText(buy_id), SmallText(sell_id), timestamp};
}

PyObject* restore_order_type(std::int64_t value) {
    if (value != 0 && value != 1) throw ValueError("OrderType has no member with value " + std::to_string(value));
    return member_object(static_cast<OrderType>(value));
}

PyObject* restore_order_status(std::int64_t value) {
    if (value < 0 || value > 2) throw ValueError("OrderStatus has no member with value " + std::to_string(value));
    return member_object(static_cast<OrderStatus>(value));
}

}  // namespace

PyObject* reduced(const Order& order) {
    return reduce_to("_restore_order", order.id, static_cast<std::int64_t>(order.side), order.price_in_ticks,
                     order.quantity, static_cast<std::int64_t>(order.status), order.timestamp);
}

PyObject* reduced(const Fill& fill) {
    return reduce_to("_restore_fill", fill.quantity, fill.price, fill.buy_id, fill.sell_id, fill.timestamp);
}

PyObject* reduced(const OrderBook& book) {
    const std::string state = write_book_snapshot(book);
    PyObject* bytes = checked(PyBytes_FromStringAndSize(state.data(), static_cast<Py_ssize_t>(state.size()))).release();
    return reduce_to("_restore_order_book", bytes);
}

PyObject* reduced(OrderType member) { return reduce_to("_restore_order_type", static_cast<std::int64_t>(member)); }
PyObject* reduced(OrderStatus member) { return reduce_to("_restore_order_status", static_cast<std::int64_t>(member)); }

PyObject* copied(const Order& order) { return new_instance(order); }
PyObject* copied(const Fill& fill) { return new_instance(fill); }
PyObject* copied(const OrderBook& book) { return new_instance(read_book_snapshot(write_book_snapshot(book))); }
PyObject* copied(OrderType member) { return member_object(member); }
PyObject* copied(OrderStatus member) { return member_object(member); }

PyMethodDef snapshot_functions[] = {
    function<"_restore_order_book", restore_book, Bytes>("An OrderBook from its pickled state."),
    function<"_restore_order", restore_order, Text, Int64, Int64, Double, Int64, UInt64>(
        "An Order from its pickled fields: id, side, price_in_ticks, quantity, status, timestamp."),
    function<"_restore_fill", restore_fill, Double, Double, Text, Text, UInt64>(
        "A Fill from its pickled fields: quantity, price, buy_id, sell_id, timestamp."),
    function<"_restore_order_type", restore_order_type, Int64>("The OrderType member with this value."),
    function<"_restore_order_status", restore_order_status, Int64>("The OrderStatus member with this value."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quoranth::py
