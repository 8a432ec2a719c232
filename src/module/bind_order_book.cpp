// OrderBook: construction, create_order, add, cancel, lookup, update, the
// market views and the summary text, batches, pickle and copy.
#include <cmath>

#include "module/call_frame.hpp"
#include "module/snapshots.hpp"
#include "module/columns.hpp"
#include "module/module_entry.hpp"
#include "text/object_texts.hpp"

namespace quoranth::py {

namespace {

// A tick size that is zero, negative, NaN or infinite would price every
// order at one saturated tick count, so that unrelated prices would match.
OrderBook make_book(const std::optional<double>& tick_size) {
    const double tick = tick_size.value_or(0.01);
    if (!(tick > 0.0)) throw ValueError("tick_size must be positive");
    if (std::isinf(tick)) throw ValueError("tick_size must be finite");
    return OrderBook(tick);
}

Depth depth(const OrderBook& book, const std::optional<std::int64_t>& levels) { return book.depth(levels.value_or(10)); }

// The fills become a list of new Fill objects in match order, built from the
// plan before the book changes, so that a failure while building them (a
// MemoryError) leaves the book exactly as it was. Each Fill's record is made
// in place from the planned match and the two orders' index copies.
PyObject* add(OrderBook& book, const Order& incoming) {
    if (!book.crosses(incoming)) {  // no fills: the empty list first, then the book changes
        OwnedRef fills = checked(PyList_New(0));
        book.rest(incoming);
        return fills.release();
    }
    const std::span<const PlannedMatch> matches = book.plan_add(incoming).matches();
    OwnedRef fills = checked(PyList_New(static_cast<Py_ssize_t>(matches.size())));
    PyTypeObject* const fill_type = class_of<Fill>();
    for (std::size_t i = 0; i < matches.size(); ++i) {
        PyObject* fill = new_instance_made<Fill>(fill_type, [&] { return book.planned_fill(matches[i]); });
        PyList_SET_ITEM(fills.get(), static_cast<Py_ssize_t>(i), fill);
    }
    book.commit_add();
    return fills.release();
}

// The fills (and, given `tops`, the best levels after each event) as columns,
// which take the vectors over. If any column cannot be made or kept, every
// vector goes back where it was, so that the caller can try again.
PyObject* batch_result(BatchFills& fills, BatchTops* tops) {
    OwnedRef result = checked(PyDict_New());
    static PyObject* names[10] = {};  // the keys, made once
    struct Made {
        PyObject* column;  // alive while `result` holds it
        void* values;
        void (*back)(PyObject* column, void* values) noexcept;
    };
    Made made[10];
    std::size_t count = 0;
    const auto put = [&]<typename T>(const char* name, std::vector<T>& values) {
        PyObject* key = kept(names[count], [&] { return PyUnicode_InternFromString(name); });
        OwnedRef column = OwnedRef::steal(to_column(values));
        if (PyDict_SetItem(result.get(), key, column.get()) < 0) {
            take_back(column.get(), values);
            throw PythonError{};
        }
        made[count++] = {column.get(), &values, [](PyObject* made_column, void* made_values) noexcept {
                             take_back(made_column, *static_cast<std::vector<T>*>(made_values));
                         }};
    };
    try {
        put("event", fills.events);
        put("buy_key", fills.buy_keys);
        put("sell_key", fills.sell_keys);
        put("price_in_ticks", fills.prices_in_ticks);
        put("quantity", fills.quantities);
        put("on_named", fills.on_named);
        if (tops != nullptr) {
            put("bid_price", tops->bid_prices);
            put("bid_quantity", tops->bid_quantities);
            put("ask_price", tops->ask_prices);
            put("ask_quantity", tops->ask_quantities);
        }
    } catch (const PythonError&) {
        for (std::size_t i = 0; i < count; ++i) made[i].back(made[i].column, made[i].values);
        throw;
    }
    return result.release();
}

// The attribute names of a stopped batch's error, made with the module.
PyObject* applied_name = nullptr;
PyObject* fills_name = nullptr;

// Sets the error of a stopped batch: `type`(message), or `type`() without a
// message, carrying `events_applied` and `fills` (None if null). False, with
// the failure set, if it cannot be made.
bool set_stop_error(PyObject* type, PyObject* message, std::size_t applied, PyObject* fills) {
    OwnedRef error = OwnedRef::steal(message != nullptr ? PyObject_CallOneArg(type, message) : PyObject_CallNoArgs(type));
    OwnedRef count = OwnedRef::steal(PyLong_FromSize_t(applied));
    if (!error || !count || PyObject_SetAttr(error.get(), applied_name, count.get()) < 0 ||
        PyObject_SetAttr(error.get(), fills_name, fills != nullptr ? fills : Py_None) < 0) {
        return false;
    }
    PyErr_SetObject(type, error.get());
    return true;
}

// A batch stopped part-way (out of memory, or an event whose column changed
// after the check) keeps the events it applied before the one that failed
// (each is all or nothing), so their fills must not be lost with the error:
// it carries `events_applied` and `fills` (the result those events would have
// returned, or None if it cannot be made). The count matters most: should
// the error not be made with the fills, they are let go, and their memory
// with them, and the error is made again without them (and, failing that,
// without its message). `made_message` is a new reference, or null (with its
// failure set) if it could not be made.
[[noreturn]] void raise_stopped_batch(PyObject* type, PyObject* made_message, BatchFills& fills, BatchTops* tops) {
    const OwnedRef message = OwnedRef::steal(made_message);
    if (!message) PyErr_Clear();
    const std::size_t applied = fills.events_applied;
    OwnedRef partial;
    try {
        partial = OwnedRef::steal(batch_result(fills, tops));
    } catch (const PythonError&) {
        PyErr_Clear();
    }
    if (set_stop_error(type, message.get(), applied, partial.get())) throw PythonError{};
    PyErr_Clear();
    partial = OwnedRef{};
    fills = BatchFills{};
    if (tops != nullptr) *tops = BatchTops{};
    if (set_stop_error(type, message.get(), applied, nullptr)) throw PythonError{};
    PyErr_Clear();
    if (!set_stop_error(type, nullptr, applied, nullptr) && !PyErr_Occurred()) PyErr_NoMemory();
    throw PythonError{};
}

PyObject* out_of_memory_message(std::size_t applied, std::size_t count) {
    return PyUnicode_FromFormat("out of memory after %zu of %zu events: those stay applied; see events_applied and fills",
                                applied, count);
}

PyObject* apply_batch(OrderBook& book, std::span<const std::int8_t> operations, std::span<const std::int64_t> keys,
                      std::span<const std::int8_t> sides, std::span<const std::int64_t> prices_in_ticks,
                      std::span<const double> quantities, const std::optional<bool>& top_of_book) {
    BatchFills fills;
    BatchTops tops;
    BatchTops* const wanted_tops = top_of_book.value_or(false) ? &tops : nullptr;
    const std::size_t count = operations.size();
    try {
        book.apply_batch({operations, keys, sides, prices_in_ticks, quantities}, fills, wanted_tops);
    } catch (const std::bad_alloc&) {
        raise_stopped_batch(PyExc_MemoryError, out_of_memory_message(fills.events_applied, count), fills, wanted_tops);
    } catch (const BatchEventChanged& changed) {
        raise_stopped_batch(PyExc_ValueError,
                            PyUnicode_FromFormat("%s (its column changed after the batch was checked); the %zu events "
                                                 "before it stay applied: see events_applied and fills",
                                                 changed.what(), fills.events_applied),
                            fills, wanted_tops);
    }
    try {
        return batch_result(fills, wanted_tops);
    } catch (const PythonError&) {
        // Every event was applied, and the fills are still whole: reported as
        // a batch stopped after its last event.
        if (!PyErr_ExceptionMatches(PyExc_MemoryError)) throw;
        PyErr_Clear();
        raise_stopped_batch(PyExc_MemoryError, out_of_memory_message(count, count), fills, wanted_tops);
    }
}

std::optional<OrderId> order_id(const OrderBook& book, std::int64_t key) {
    const OrderId* id = book.keyed_order_id(key);
    return id != nullptr ? std::optional<OrderId>(*id) : std::nullopt;
}

}  // namespace

void prepare_batch_stops() {
    kept(applied_name, [] { return PyUnicode_InternFromString("events_applied"); });
    kept(fills_name, [] { return PyUnicode_InternFromString("fills"); });
}

const ClassDefinition order_book_class{
    .name = "OrderBook",
    .doc = "Represents the main order book for matching buy and sell orders.",
    .text_signature = "(tick_size=0.01)",
    .layout = layout_of<OrderBook>,
    .construct = constructor<make_book, Arg<"tick_size", Optional<Double>>>,
    .repr = unary_slot<text::book_summary_text, OrderBook>,
    .methods = {
        method<"create_order", &OrderBook::create_order, Read<OrderBook>, Arg<"side", Member<OrderType>>,
               Arg<"price", Double>, Arg<"quantity", Double>>(
            "(self, side, price, quantity)",
            "Creates an order (but does not add to the book) based off the book's tick size."),
        method<"add", add, Write<OrderBook>, Arg<"incoming_order", Copy<Order>>>(
            "(self, order)", "Adds an order to the book, attempting to match it with resting orders."),
        method<"cancel", &OrderBook::cancel, Write<OrderBook>, Arg<"order_id", Text>>(
            "(self, order_id)", "Cancels an order by its ID."),
        method<"get_order", &OrderBook::get_order, Read<OrderBook>, Arg<"order_id", Text>>(
            "(self, order_id)", "Retrieves an order by its ID. Returns None if the order is not found."),
        method<"update_order", &OrderBook::update_order, Write<OrderBook>, Arg<"order", Read<Order>>>(
            "($self, order)", "Helper method to update an order in the `orders` map."),
        method<"depth", depth, Read<OrderBook>, Arg<"levels", Optional<Count>>>(
            "($self, levels=10)",
            "The best `levels` price levels of each side, as (bids, asks): lists of\n"
            "(price_in_ticks, quantity, orders) tuples, best price first. `quantity` sums\n"
            "the level's resting quantities in queue order; `orders` counts them.\n"
            "Costs time in proportion to the levels and orders returned."),
        method<"reduce", &OrderBook::reduce, Write<OrderBook>, Arg<"order_id", Text>, Arg<"quantity", Double>>(
            "($self, order_id, quantity)",
            "Takes `quantity` off a resting order in place, keeping its place in the queue.\n"
            "An order left with nothing is cancelled. Returns False if the order rests nowhere.\n"
            "For an order resting more than once, its oldest record is reduced, and a record\n"
            "left with nothing goes while the order's other records stay."),
        method<"queue_position", &OrderBook::queue_position, Read<OrderBook>, Arg<"order_id", Text>>(
            "($self, order_id)",
            "(orders_ahead, quantity_ahead): what rests ahead of the order (its oldest record)\n"
            "in its price level's queue; None if it rests nowhere.\n"
            "Costs time in proportion to the orders ahead."),
        method<"apply_batch", apply_batch, Write<OrderBook>, Arg<"operations", Column<std::int8_t>>,
               Arg<"keys", Column<std::int64_t>>, Arg<"sides", Column<std::int8_t>>,
               Arg<"prices_in_ticks", Column<std::int64_t>>, Arg<"quantities", Column<double>>,
               Arg<"top_of_book", Optional<Truth>>>(
            "($self, operations, keys, sides, prices_in_ticks, quantities, top_of_book=False)",
            "Applies a batch of events given as columns (any buffers of numbers: array.array,\n"
            "NumPy arrays), in order, and returns the fills as columns (memoryviews).\n\n"
            "operations: 0 nothing; 1 add a limit order (side, price, quantity) under `key`\n"
            "(0 or more);\n"
            "2 reduce the order under `key` by `quantity`, in place; 3 cancel the order under\n"
            "`key`; 4 take: an order that matches and whose remainder is dropped (immediate\n"
            "or cancel); 5 take, then cancel the order under `key`. sides: 0 Buy, 1 Sell.\n"
            "Orders added this way are ordinary orders of the book; order_id(key) gives an id.\n"
            "The orders of one batch carry one timestamp: the time the batch began.\n\n"
            "Returns a dict of columns, one entry per fill: event, buy_key, sell_key (-1: no\n"
            "key), price_in_ticks, quantity, and on_named (1 for a take that traded its whole\n"
            "quantity, in that one fill, with the order its key names); with top_of_book also,\n"
            "per event, bid_price, bid_quantity, ask_price, ask_quantity (the level's total; 0\n"
            "for an empty side).\n"
            "Every event is checked before any is applied, and again as it is applied. A batch\n"
            "that runs out of memory, or meets an event whose column was written after the\n"
            "check, keeps the events before that one; the error's events_applied and fills\n"
            "say how many, and what they traded."),
        method<"order_id", order_id, Read<OrderBook>, Arg<"key", Int64>>(
            "($self, key)", "The id of the order a batch added under `key`, while the book holds it; else None."),
        method<"best_bid", &OrderBook::best_bid, Read<OrderBook>>("($self)", "Helper method to get best bid"),
        method<"best_ask", &OrderBook::best_ask, Read<OrderBook>>("($self)", "Helper method to get best ask"),
        method<"buy_volume", &OrderBook::buy_volume, Read<OrderBook>>(
            "($self)", "Helper method to calculate total buy volume"),
        method<"sell_volume", &OrderBook::sell_volume, Read<OrderBook>>(
            "($self)", "Helper method to calculate total sell volume"),
        method<"spread", &OrderBook::spread, Read<OrderBook>>(
            "($self)",
            "Calculate the current spread in the order book.\n"
            "Returns None if there are no orders on either side.\n"
            "The spread is returned in the same units as the prices (not ticks)."),
        reduce_row<OrderBook>(), copy_row<OrderBook>(), deep_copy_row<OrderBook>(),
    },
    .attributes = {
        attribute<&OrderBook::buy_orders>("buy_orders", "Get a list of all buy orders"),
        attribute<&OrderBook::sell_orders>("sell_orders", "Get a list of all sell orders"),
        attribute<&OrderBook::tick_size>("tick_size", "Return the tick size for informational purposes"),
    },
};

}  // namespace quoranth::py
