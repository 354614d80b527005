// A stable sort of a Qt list without std::stable_sort, whose temporary buffer newer standard
// libraries deprecate (clang 19 warns of it): ties keep the order they had, by their places.
#pragma once

#include <algorithm>
#include <numeric>
#include <vector>

template <typename List, typename Less> void stableSort(List *list, Less less) {
    std::vector<int> order(static_cast<size_t>(list->size()));
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](int a, int b) {
        if (less(list->at(a), list->at(b))) {
            return true;
        }
        return !less(list->at(b), list->at(a)) && a < b;
    });
    List sorted;
    sorted.reserve(list->size());
    for (const int i : order) {
        sorted.append(list->at(i));
    }
    *list = sorted;
}
