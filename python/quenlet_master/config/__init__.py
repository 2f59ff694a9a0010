"""Host configuration: settings store, logging set-up and well-known index addresses."""
