// Private module functions behind the replay package (quoranth_replay): the
// fast reader of LOBSTER files and the replay plan, over columns. They are
// underscore-named and outside __all__; the package is their only user.
#include <tuple>

#include "lib/replay/lobster_columns.hpp"
#include "lib/replay/lobster_plan.hpp"
#include "module/call_frame.hpp"
#include "module/columns.hpp"
#include "module/module_entry.hpp"

namespace quoranth::py {

namespace {

using replay::MessageColumns;

// (times, types, order_ids, sizes, prices, directions) as arrays, or None when a line
// is not in the plain form (the package's careful reader then names it).
PyObject* message_columns(std::string_view text, std::int64_t width) {
    const std::optional<MessageColumns> read = replay::read_message_columns(text, static_cast<int>(width));
    if (!read) Py_RETURN_NONE;
    OwnedRef columns[] = {
        OwnedRef::steal(to_array(read->times)),      OwnedRef::steal(to_array(read->types)),
        OwnedRef::steal(to_array(read->order_ids)),  OwnedRef::steal(to_array(read->sizes)),
        OwnedRef::steal(to_array(read->prices)),     OwnedRef::steal(to_array(read->directions)),
    };
    return checked(PyTuple_Pack(6, columns[0].get(), columns[1].get(), columns[2].get(), columns[3].get(),
                                columns[4].get(), columns[5].get())).release();
}

// The first `kept` columns of integer rows (whole orderbook levels, checked), or None.
PyObject* integer_columns(std::string_view text, std::int64_t width, std::int64_t kept) {
    if (width <= 0 || width > 4096 || kept < 0 || kept > width || kept % 4 != 0) {
        raise(PyExc_ValueError, "bad width or kept count");
    }
    const auto read = replay::read_integer_columns(text, static_cast<int>(width), static_cast<int>(kept));
    if (!read) Py_RETURN_NONE;
    OwnedRef tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(read->size())));
    for (std::size_t i = 0; i < read->size(); ++i) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), to_array(std::span<const std::int64_t>((*read)[i])));
    }
    return tuple.release();
}

// The index of the first message of columns made by hand that no file read
// here could hold, or None; the package names what is wrong with it.
std::optional<std::int64_t> unplain_message(std::span<const double> times, std::span<const std::int64_t> types,
                                            std::span<const std::int64_t> sizes, std::span<const std::int64_t> prices,
                                            std::span<const std::int64_t> directions) {
    const std::size_t count = types.size();
    if (times.size() != count || sizes.size() != count || prices.size() != count || directions.size() != count) {
        raise(PyExc_ValueError, "columns of different lengths");
    }
    const auto first = replay::first_unplain_message(times, types, sizes, prices, directions);
    if (!first) return std::nullopt;
    return static_cast<std::int64_t>(*first);
}

// (operations, keys, sides, ticks, quantities, unplaced).
PyObject* plan(std::span<const std::int8_t> types, std::span<const std::int64_t> order_ids,
               std::span<const std::int64_t> sizes, std::span<const std::int64_t> prices,
               std::span<const std::int8_t> directions, std::span<const std::int64_t> opening_keys,
               std::span<const std::int8_t> opening_sides, std::span<const std::int64_t> opening_ticks) {
    const std::size_t count = types.size();
    if (order_ids.size() != count || sizes.size() != count || prices.size() != count || directions.size() != count ||
        opening_sides.size() != opening_keys.size() || opening_ticks.size() != opening_keys.size()) {
        raise(PyExc_ValueError, "columns of different lengths");
    }
    std::vector<replay::OpeningOrder> opening(opening_keys.size());
    for (std::size_t i = 0; i < opening.size(); ++i) opening[i] = {opening_keys[i], opening_sides[i], opening_ticks[i]};
    const replay::Plan made = replay::plan_messages({types, order_ids, sizes, prices, directions}, opening);
    OwnedRef columns[] = {
        OwnedRef::steal(to_array(made.operations)), OwnedRef::steal(to_array(made.keys)),
        OwnedRef::steal(to_array(made.sides)),      OwnedRef::steal(to_array(made.ticks)),
        OwnedRef::steal(to_array(made.quantities)), OwnedRef::steal(to_python(made.unplaced)),
    };
    return checked(PyTuple_Pack(6, columns[0].get(), columns[1].get(), columns[2].get(), columns[3].get(),
                                columns[4].get(), columns[5].get())).release();
}

}  // namespace

PyMethodDef lobster_functions[] = {
    function<"_lobster_message_columns", message_columns, Bytes, Int64>(
        "Columns of the data lines of a LOBSTER message file in the plain form, or None."),
    function<"_lobster_integer_columns", integer_columns, Bytes, Int64, Int64>(
        "The first levels of rows of plain integers, each level as the exchange writes it, or None."),
    function<"_lobster_unplain_message", unplain_message, Column<double>, Column<std::int64_t>,
             Column<std::int64_t>, Column<std::int64_t>, Column<std::int64_t>>(
        "The index of the first message whose values no plain file holds, or None."),
    function<"_lobster_plan", plan, Column<std::int8_t>, Column<std::int64_t>, Column<std::int64_t>,
             Column<std::int64_t>, Column<std::int8_t>, Column<std::int64_t>, Column<std::int8_t>,
             Column<std::int64_t>>("The replay plan of LOBSTER message columns."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quoranth::py
