"""The request handlers of the extension."""

# A pipeline is kernel state: every route asks the server's authorizer about "kernels", as the
# server's own kernel API does.
AUTH_RESOURCE = "kernels"
