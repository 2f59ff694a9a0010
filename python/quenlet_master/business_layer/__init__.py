"""Business layer of the host application."""
