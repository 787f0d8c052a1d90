/* A loadable library that lacks the activity entries. */
__attribute__((visibility("default"))) int not_an_activity_entry(void) { return 0; }
