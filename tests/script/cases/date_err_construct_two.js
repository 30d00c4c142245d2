var d = new Date(2024, 1);
