var o = {k: 1};
