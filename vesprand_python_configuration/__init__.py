"""Start-up and configuration for back-end services: settings assembly,
console logging, chat alerts, Redis access, bootstrap and shared enumerations."""
