function f() { return; };
