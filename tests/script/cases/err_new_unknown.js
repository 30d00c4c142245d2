var o = new Missing(1);
