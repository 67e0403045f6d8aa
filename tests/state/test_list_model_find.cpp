#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "state/list_model.h"

// findIndex answers for the list as it is now, first match first, and nothing for no match or
// an empty list; a selection found with it is the one a search through items() would give.
TEST(ListModelFind, FirstMatchInOrderOrNone) {
    ListModel list;
    EXPECT_EQ(list.findIndex([](std::string_view) { return true; }), -1);
    list.setItems({"1=0x01", "2=0x02", "2=0x02 again", "3=0x03"});
    EXPECT_EQ(list.findIndex([](std::string_view item) { return item.substr(0, 1) == "2"; }), 1);
    EXPECT_EQ(list.findIndex([](std::string_view item) { return item == "3=0x03"; }), 3);
    EXPECT_EQ(list.findIndex([](std::string_view item) { return item.empty(); }), -1);
    list.setItems({"3=0x03"});
    EXPECT_EQ(list.findIndex([](std::string_view item) { return item == "3=0x03"; }), 0);
}
