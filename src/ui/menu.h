// Pull-down menu bar. A menu table is a flat null-terminated array: for each
// menu its title, its items, a null; a further null ends the table. The first
// capital letter of a title or item is its hot letter. menu_bar_run returns
// menu * 100 + item (item 0 for a menu without items), or 0.
#pragma once

int menu_bar_run(const char *const *table, int row, int initial);
int menu_bar_select(const char *const *titles, int row, int menu);
int menu_pulldown(const char *const *items, int top, int left, int initial, bool navigate);
// Column arithmetic, exposed for the tests: 1-based start columns of the
// bar's titles and of their pull-downs.
void menu_bar_columns(const char *const *titles, int n, int *bar_cols);
void menu_pulldown_columns(const char *const *titles, int n, int *pull_cols);
